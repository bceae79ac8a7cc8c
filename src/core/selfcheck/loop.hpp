// The self-check loop as a state machine: phases, the cycle and try
// counters and the accept rule, without the model calls, files or output
// (the binding performs those as the machine says; core/selfcheck/prompt.hpp
// has the texts).
//
//   start -> answer -> judge -> accepted: done (success)
//                            -> rejected: check (up to kTries) -> new prompt
//                               written, next cycle -> answer ...
//   after kCycles cycles: done (no success)
#pragma once

#include <string_view>

#include "core/selfcheck/prompt.hpp"

namespace corvane::selfcheck {

enum class Phase { start, answer, judge, check, done };

class Loop {
public:
    Phase phase() const { return phase_; }
    int cycle() const { return cycle_; }  // from 0
    int tries() const { return tries_; }  // checks made in this cycle
    bool success() const { return success_; }

    // Begins the current cycle (an answer is asked for); false when all
    // cycles are done.
    bool begin_cycle() {
        if (cycle_ >= prompt::kCycles) {
            phase_ = Phase::done;
            return false;
        }
        phase_ = Phase::answer;
        return true;
    }
    // The answer came: the judge is asked.
    void answered() { phase_ = Phase::judge; }
    // The judge's verdict: accepted ends the loop in success (false);
    // rejected starts this cycle's checks (true).
    bool judged(bool accepted) {
        if (accepted) {
            success_ = true;
            phase_ = Phase::done;
            return false;
        }
        tries_ = 0;
        phase_ = Phase::check;
        return true;
    }
    // A check's verdict: true when another check is asked (rejected, tries
    // left); false when the cycle's new prompt is to be written.
    bool checked(bool accepted) { return !accepted && ++tries_ < prompt::kTries; }
    // Whether the check verdict now arriving ends the cycle's checks (so its
    // new prompt is read): accepted, or the last try.
    bool last_check(bool accepted) const { return accepted || tries_ + 1 >= prompt::kTries; }
    // The new prompt is written: on to the next cycle (call begin_cycle).
    void end_cycle() { ++cycle_; }
    void finish() { phase_ = Phase::done; }

private:
    Phase phase_ = Phase::start;
    int cycle_ = 0;
    int tries_ = 0;
    bool success_ = false;
};

// Whether a verdict given as text accepts; `t` is stripped of surrounding
// white space and lower-cased (by the host's rules).  Empty, "false", "0",
// "no", "none" and "null" reject.
inline bool text_accepts(std::string_view t) {
    return !(t.empty() || t == "false" || t == "0" || t == "no" || t == "none" || t == "null");
}

}  // namespace corvane::selfcheck
