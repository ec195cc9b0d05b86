#include "report/messages.h"

#include "check/settings.h"

#include <sstream>

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

std::string SettingsFaultText(const std::string& text) {
    bool section = false;
    const CheckSettings settings = ParseCheckSettings(text, &section);
    if (!section) {
        return "文件中没有 [zpshcs] 一节";
    }
    const auto number = [](double v) {
        std::ostringstream out;
        out << v;
        return out.str();
    };
    std::string fault;
    for (const SettingsProblem& p : FindSettingsProblems(settings)) {
        fault += fault.empty() ? "" : "；";
        switch (p.kind) {
        case SettingsProblem::Kind::SizeNotPositive:
            fault += "dst_width 和 dst_height 须大于 0（现为 " + number(p.low) + " 和 " +
                     number(p.high) + "）";
            break;
        case SettingsProblem::Kind::SizeTooLarge:
            fault += "dst_width×dst_height 太大（" + number(p.low) + "×" + number(p.high) +
                     "，最多 " + std::to_string(kMaxNormalisedPixels) + " 像素）";
            break;
        case SettingsProblem::Kind::Crossed:
            fault += p.low_key + "=" + number(p.low) + " 大于 " + p.high_key + "=" +
                     number(p.high) + "，下限不能大于上限";
            break;
        }
    }
    return fault;
}

} // namespace vrel
