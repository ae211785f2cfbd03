// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

#include "midi/service/system_midi_service.h"
#include "ui/form1.h"
#include "ui/log.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
  // The interrupted code may be about to read errno: leave it as it was.
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const auto n = write(g_signalPipe[1], &byte, 1);  // async-signal-safe
  errno = saved;
}

// SIGTERM (logout, kill), SIGINT (Ctrl+C in a terminal) and SIGHUP (the terminal closed) close
// the window like the user would, so that held notes are switched off before the program ends.
void closeOnSignals(QWidget& window) {
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
    char buffer[16];
    while (read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
    }
    window.close();
  });
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
}

}  // namespace

int main(int argc, char* argv[]) {
  // First of all: the service lists the ports and prepares the MIDI Mapper on threads of its own
  // while Qt starts. Its threads may write a line from the start.
  ui::installMidiLog();
  midi::SystemMidiService service;
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tamrels Midi Piano");
  QApplication::setDesktopFileName("org.tamrels.MidiPiano");
  QApplication::setWindowIcon(QIcon(":/org.tamrels.MidiPiano.svg"));
  ui::Form1 window(service);
  closeOnSignals(window);
  window.show();
  return QApplication::exec();
}
