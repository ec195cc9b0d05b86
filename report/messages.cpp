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

std::string SetupErrorLines(const std::string& program, const Error& error) {
    std::string lines;
    if (error.Code() == ErrorCode::NotFound) {
        lines = std::string(kMissingSettingsMessage) + "\n";
    }
    return lines + program + ": " + error.Detail() + "\n";
}

} // namespace vrel
