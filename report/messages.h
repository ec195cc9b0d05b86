#pragma once

// The words the front ends show that belong to no record field of their own: the info line of a
// verdict, the messages of saving and of a missing settings file. With explain.h (verdicts
// explained), correction_text.h and advisory_text.h (corrections and advisories in words) they
// are every Chinese text the programs show; nothing below report/ holds any.

#include "check/check_run.h"
#include "check/settings_warnings.h"
#include "output/photo_writer.h"

#include <string>
#include <vector>

namespace vrel {

inline constexpr const char* kFailText = "审核不通过";
inline constexpr const char* kPassText = "审核通过，保存后退出";
// The info line of a verdict; empty for Cancelled (the line keeps its text).
std::string InfoText(CheckVerdict verdict);

// The message shown when setting.vr is missing.
inline constexpr const char* kMissingSettingsMessage = "setting配置文件丢失！请重新下载程序";
// What a command-line program prints when its set-up cannot be loaded, a line each: the
// missing-settings message where the settings file is not there, then "program: detail".
std::string SetupErrorLines(const std::string& program, const Error& error);

inline constexpr const char* kTooLargeMessage = "原始文件太大，请重新选取!";
inline constexpr const char* kWriteFailedMessage = "读取文件大小错误!写文件失败!";
// The message the operator gets after saving: empty on success.
std::string SaveMessage(const SaveOutcome& outcome);

// A settings file's warning in Chinese, for the desktop tool and the requirements:
// "s_mn：设置项名称不认识，是否应为 s_min？".
std::string SettingsWarningText(const SettingsWarning& warning);
// The desktop tool's message at start-up when the settings file has warnings: a short heading
// (the message box does not wrap), then a line each.
std::string SettingsWarningsMessage(const std::vector<SettingsWarning>& warnings);

// Why a settings file cannot be used, in Chinese, naming the keys at fault: the file's text
// as read (no [zpshcs] section, or the problems of FindSettingsProblems). Empty when it can.
std::string SettingsFaultText(const std::string& text);

} // namespace vrel
