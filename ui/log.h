// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The program's lines on the standard error, through Qt's categorized logging: one category per
// room ("tamrels.service", "tamrels.ports", "tamrels.synth", "tamrels.servers", "tamrels.ui").
// Info and Warning lines are on; a user turns the Debug lines on with Qt's own rules, e.g.
// QT_LOGGING_RULES="tamrels.*.debug=true". The program reads no setting of its own.

#include <QLoggingCategory>

namespace ui {

Q_DECLARE_LOGGING_CATEGORY(lcUi)

// Sends midi/'s lines (midi/log.h) to their rooms' categories. Before the MIDI service starts.
void installMidiLog();

}  // namespace ui
