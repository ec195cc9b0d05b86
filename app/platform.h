#pragma once

#include <QString>

#include <optional>
#include <string>

class QDialog;
class QWidget;

namespace vrel {

// The platform facilities the dialogs use: file dialogs, message boxes and modal dialogs.
// Tests put a scripted one in place.
class Platform {
public:
    virtual ~Platform() = default;
    // The chosen file, or nothing when the dialog is cancelled.
    virtual std::optional<QString> OpenFileName(QWidget* parent, const QString& filter) = 0;
    virtual std::optional<QString> SaveFileName(QWidget* parent, const QString& initial_name,
                                                const QString& default_suffix,
                                                const QString& filter) = 0;
    // A modal message box with only an OK button.
    virtual void MessageBox(QWidget* parent, const QString& text) = 0;
    // A modal question with Yes and No buttons; true for Yes.
    virtual bool AskYesNo(QWidget* parent, const QString& text) = 0;
    virtual int RunModal(QDialog& dialog) = 0;
    // The folder of setting.vr, tips/ and the cascade file, ending in '/': the program's own.
    virtual std::string AppDirectory();
};

// The real facilities, with Qt's dialogs.
Platform& DesktopPlatform();

} // namespace vrel
