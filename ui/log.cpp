// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/log.h"

#include <QString>

#include "midi/log.h"

namespace ui {

Q_LOGGING_CATEGORY(lcUi, "tamrels.ui", QtInfoMsg)

namespace {

Q_LOGGING_CATEGORY(lcService, "tamrels.service", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPorts, "tamrels.ports", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSynth, "tamrels.synth", QtInfoMsg)
Q_LOGGING_CATEGORY(lcServers, "tamrels.servers", QtInfoMsg)

const QLoggingCategory& categoryOf(midi::LogRoom room) {
  switch (room) {
    case midi::LogRoom::Service: return lcService();
    case midi::LogRoom::Ports: return lcPorts();
    case midi::LogRoom::Synth: return lcSynth();
    case midi::LogRoom::Servers: return lcServers();
  }
  return lcService();
}

void write(midi::LogRoom room, midi::LogLevel level, std::string_view text) {
  const QLoggingCategory& category = categoryOf(room);
  const QString line = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  switch (level) {
    case midi::LogLevel::Debug: qCDebug(category).noquote() << line; break;
    case midi::LogLevel::Info: qCInfo(category).noquote() << line; break;
    case midi::LogLevel::Warning: qCWarning(category).noquote() << line; break;
  }
}

}  // namespace

void installMidiLog() { midi::setLogSink(write); }

}  // namespace ui
