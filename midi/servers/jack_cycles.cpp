// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/servers/jack_cycles.h"

namespace midi {

void CycleClock::judge(JackCycle& cycle, const Times& times) {
  jack_nframes_t step = 0;
  if (m_lastFrames != 0 && times.periodUs > 0) {
    const auto periodNs = static_cast<std::int64_t>(times.periodUs * 1000);
    // jackd2 sets its clock back after a hiccup: the difference may be negative.
    const std::int64_t serverGap =
        (static_cast<std::int64_t>(times.startUs) - static_cast<std::int64_t>(m_last.startUs)) *
        1000;
    const std::int64_t gap = times.wokeNs - m_last.wokeNs;
    step = static_cast<jack_nframes_t>(times.frameTime - m_last.frameTime);
    const jack_nframes_t beat = cycle_rules::beat(step, m_lastStep, m_lastFrames);
    const bool skipped = step > beat;
    // On a beat of the server's, our gaps are judged beyond the cycles it runs without us: a
    // wake-up of ours late within a period may still run into the server's next cycle.
    const std::int64_t offBeatNs = periodNs * (beat - m_lastFrames) / m_lastFrames;
    const std::int64_t ourGap = gap - offBeatNs;
    // Our callback woke at once as the last ended: the server had begun this cycle before.
    const bool beganBeforeOurEnd =
        m_lastEndNs != 0 && times.wokeNs - m_lastEndNs < cycle_rules::kWokeAtOnceNs;
    cycle.periodNs = periodNs;
    cycle.gapNs = gap;
    const std::int64_t ourGapOfTwo =
        m_wokeBeforeNs != 0 ? times.wokeNs - m_wokeBeforeNs - 2 * offBeatNs : 0;
    cycle.late = cycle_rules::late(skipped, ourGap, ourGapOfTwo, periodNs);
    cycle.backToBack =
        cycle_rules::backToBack(beganBeforeOurEnd, serverGap, ourGap, m_behindNs, periodNs);
    m_behindNs = cycle_rules::behindAfter(m_behindNs, ourGap, periodNs);
  }
  m_lastStep = step;
  m_wokeBeforeNs = m_lastFrames != 0 ? m_last.wokeNs : 0;
  m_last = times;
  m_lastFrames = cycle.frames;
}

}  // namespace midi
