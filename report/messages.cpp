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

std::string SettingsWarningText(const SettingsWarning& w) {
    const std::string written = w.key + "=" + w.value;
    switch (w.kind) {
    case SettingsWarning::Kind::UnknownKey:
        return w.key + "：设置项名称不认识，" +
               (w.suggestion.empty() ? "已忽略" : "是否应为 " + w.suggestion + "？");
    case SettingsWarning::Kind::NotANumber:
        return written + "：不是单纯的数字，按 " + w.read_as + " 读取";
    case SettingsWarning::Kind::DecimalComma:
        return written + "：小数点须写作“.”，逗号不被读取，现按 " + w.read_as + " 读取（应写作 " +
               w.suggestion + "）";
    case SettingsWarning::Kind::NotASwitch:
        return written + "：只能是 0 或 1，现按 " + w.read_as + " 读取";
    case SettingsWarning::Kind::NotAShare:
        return written + "：应为 0 到 1 之间的比例";
    case SettingsWarning::Kind::Missing:
        return w.key + "：缺少此设置项，按 0 读取";
    }
    return written;
}

std::string SettingsWarningsMessage(const std::vector<SettingsWarning>& warnings) {
    std::string text = "setting配置文件可能有误，请核对：";
    for (const SettingsWarning& w : warnings) {
        text += "\n" + SettingsWarningText(w);
    }
    return text;
}

} // namespace vrel
