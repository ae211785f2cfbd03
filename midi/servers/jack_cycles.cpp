// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/servers/jack_cycles.h"

#include <algorithm>

namespace midi {

void CycleClock::judge(JackCycle& cycle, const Times& times) {
  if (m_lastFrames != 0 && times.periodUs > 0) {
    const auto periodNs = static_cast<std::int64_t>(times.periodUs * 1000);
    // jackd2 sets its clock back after a hiccup: the difference may be negative.
    const std::int64_t serverGap =
        (static_cast<std::int64_t>(times.startUs) - static_cast<std::int64_t>(m_last.startUs)) *
        1000;
    const std::int64_t ourGap = times.wokeNs - m_last.wokeNs;
    const bool skipped =
        static_cast<jack_nframes_t>(times.frameTime - m_last.frameTime) > m_lastFrames;
    const auto startNs = static_cast<std::int64_t>(times.startUs) * 1000;
    // The cycle's start on our clock, as early as the last cycles allow. A stamp carries to our
    // clock to within its microsecond and the drift since those cycles: an end of ours within a
    // sixteenth of a period of the start counts as ran into it (it came from a wake-up late by
    // most of a period, which lets its own cycle pass anyway).
    const std::int64_t ourStartNs = startNs + *std::min_element(m_delays.begin(), m_delays.end());
    const bool beganBeforeOurEnd = m_lastEndNs != 0 && ourStartNs < m_lastEndNs + periodNs / 16;
    m_delays[m_nextDelay++ % m_delays.size()] = times.wokeNs - startNs;
    cycle.periodNs = periodNs;
    cycle.gapNs = ourGap;
    cycle.late = cycle_rules::late(skipped, serverGap, ourGap, times.wokeNs - ourStartNs, periodNs);
    cycle.backToBack =
        cycle_rules::backToBack(beganBeforeOurEnd, serverGap, ourGap, m_behindNs, periodNs);
    m_behindNs = cycle_rules::behindAfter(m_behindNs, ourGap, periodNs);
  }
  if (m_lastFrames == 0)
    m_delays.fill(times.wokeNs - static_cast<std::int64_t>(times.startUs) * 1000);
  m_last = times;
  m_lastFrames = cycle.frames;
}

}  // namespace midi
