// SPDX-License-Identifier: GPL-3.0-or-later
// The floor of the launch and memory figures: a bare Qt 6 window of the program's client size
// with the same three menu titles, and nothing behind them.

#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QWidget>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QMainWindow window;
  window.setWindowTitle("Bare Qt window");
  window.menuBar()->addMenu("Midi Device");
  window.menuBar()->addMenu("Channel");
  window.menuBar()->addAction("Base note");
  auto* client = new QWidget(&window);
  const int dpi = window.logicalDpiX();
  client->setFixedSize(5175 * dpi / 1440, 2775 * dpi / 1440);  // the program's client area
  window.setCentralWidget(client);
  window.show();
  return QApplication::exec();
}
