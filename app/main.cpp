#include <QApplication>

#include "midi/system_midi_service.h"
#include "ui/form1.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tamrels Midi Piano");
  QApplication::setDesktopFileName("tamrels-midi-piano");
  midi::SystemMidiService service;
  ui::Form1 window(service);
  window.show();
  return QApplication::exec();
}
