#include "report/messages.h"

namespace vrel {

std::string InfoText(CheckVerdict verdict) {
    if (verdict == CheckVerdict::Cancelled) {
        return std::string();
    }
    return IsPass(verdict) ? kPassText : kFailText;
}

std::string SaveMessage(const SaveOutcome& outcome) {
    switch (outcome.status) {
    case SaveStatus::Saved:
        return std::string();
    case SaveStatus::TooLarge:
        return kTooLargeMessage;
    case SaveStatus::WriteFailed:
        return kWriteFailedMessage;
    }
    return kWriteFailedMessage;
}

} // namespace vrel
