// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/servers/jack_cycles.h"

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
    // Our callback woke at once as the last ended: the server had begun this cycle before.
    const bool beganBeforeOurEnd =
        m_lastEndNs != 0 && times.wokeNs - m_lastEndNs < cycle_rules::kWokeAtOnceNs;
    cycle.periodNs = periodNs;
    cycle.gapNs = ourGap;
    const std::int64_t ourGapOfTwo = m_wokeBeforeNs != 0 ? times.wokeNs - m_wokeBeforeNs : 0;
    cycle.late = cycle_rules::late(skipped, ourGap, ourGapOfTwo, periodNs);
    cycle.backToBack =
        cycle_rules::backToBack(beganBeforeOurEnd, serverGap, ourGap, m_behindNs, periodNs);
    m_behindNs = cycle_rules::behindAfter(m_behindNs, ourGap, periodNs);
  }
  m_wokeBeforeNs = m_lastFrames != 0 ? m_last.wokeNs : 0;
  m_last = times;
  m_lastFrames = cycle.frames;
}

}  // namespace midi
