#ifndef VM_DSP_SETUPCHECKS_H
#define VM_DSP_SETUPCHECKS_H

#include <sstream>
#include <vector>

namespace Veltramodels20200612 {

// The rule of every Setup: each check runs, each failing check appends its
// own exact message line, and the result is false when any check failed.
// With this helper a Setup reads as its list of rules, one line a rule:
//
//     SetupChecks check(msg);
//     check.fault(!(BitRate > 0.0), "BitRate must be > 0.\n");
//     if (check.fault(index < 1 || index > count))
//         msg << "Index must be an integer in the range [1, " << count << "].\n";
//     return check.ok();
class SetupChecks {
public:
    explicit SetupChecks(std::stringstream& msg);

    // Returns isFault. On a fault the result is cleared and text is appended;
    // a message with numbers in it is appended by the caller instead.
    bool fault(bool isFault, const char* text = nullptr);
    // The rules every equaliser list, cascade and section opens with: a
    // channel with samples, a positive bit rate, at least 4 samples per bit.
    void channelAndGrid(const std::vector<double>* channel, double bitRate, int samplesPerBit);
    // Clears the result without a message of its own.
    void fail() { ok_ = false; }
    bool ok() const { return ok_; }

private:
    std::stringstream& msg_;
    bool ok_ = true;
};

}  // namespace Veltramodels20200612

#endif
