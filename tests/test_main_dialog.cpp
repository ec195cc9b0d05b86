// The desktop dialog's flows, headless, with the file dialogs and message boxes scripted.
#include "app/main_dialog.h"
#include "app/platform.h"
#include "app/vrel_app.h"
#include "report/correction_text.h"
#include "view/photo_view.h"

#include "test_support.h"

#include <QFrame>
#include <QLabel>
#include <QMimeData>
#include <QProcess>
#include <QUrl>
#include <QtTest>

#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>

// The pictures are compiled into a static library, whose resources are registered by hand.
static void InitPictureResources() {
    Q_INIT_RESOURCE(resources);
}

namespace vrel {
namespace {

class ScriptedPlatform : public Platform {
public:
    std::deque<std::optional<QString>> open_answers;
    std::deque<std::optional<QString>> save_answers;
    QStringList messages;
    QStringList modal_titles;
    int save_dialogs = 0;
    QString save_initial_name, save_suffix;
    std::string app_dir = test::AppDataDir();

    int open_dialogs = 0;
    std::optional<QString> OpenFileName(QWidget*, const QString&) override {
        ++open_dialogs;
        std::optional<QString> answer;
        if (!open_answers.empty()) {
            answer = std::move(open_answers.front());
            open_answers.pop_front();
        }
        return answer;
    }
    std::optional<QString> SaveFileName(QWidget*, const QString& initial_name,
                                        const QString& suffix, const QString&) override {
        ++save_dialogs;
        save_initial_name = initial_name;
        save_suffix = suffix;
        auto answer = save_answers.front();
        save_answers.pop_front();
        return answer;
    }
    void MessageBox(QWidget*, const QString& text) override { messages << text; }
    std::deque<bool> yes_no_answers;
    QStringList questions;
    bool waited_at_question = false; // the wait cursor was on while a question waited
    bool AskYesNo(QWidget*, const QString& text) override {
        questions << text;
        waited_at_question = waited_at_question || QApplication::overrideCursor() != nullptr;
        const bool answer = yes_no_answers.empty() ? false : yes_no_answers.front();
        if (!yes_no_answers.empty()) {
            yes_no_answers.pop_front();
        }
        return answer;
    }
    int RunModal(QDialog& dialog) override {
        modal_titles << dialog.windowTitle();
        return QDialog::Accepted;
    }
    std::string AppDirectory() override { return app_dir; }
};

QString Sample(const char* name) {
    return QString::fromStdString(test::SamplePath(name));
}

// Opens the next scripted photo and waits until the dialog has shown what came of it.
bool OpenAndWait(MainDialog& dialog) {
    QSignalSpy idle(&dialog, &MainDialog::Idle);
    dialog.OpenPhoto();
    return dialog.Busy() && idle.wait(120000) && !dialog.Busy();
}

QWidget* NextTabStop(QWidget* from) {
    QWidget* next = from->nextInFocusChain();
    while (next != from && !(next->focusPolicy() & Qt::TabFocus)) {
        next = next->nextInFocusChain();
    }
    return next;
}

const QString kPass = QStringLiteral("审核通过，保存后退出");
const QString kFail = QStringLiteral("审核不通过");

class MainDialogTest : public QObject {
    Q_OBJECT
private slots:
    void layoutFollowsTheTemplate() {
        QCOMPARE(DialogUnitsToPixels(0, 0, 401, 277), QRect(0, 0, 701, 488));
        ScriptedPlatform platform;
        MainDialog dialog(platform);
        QCOMPARE(dialog.size(), QSize(701, 488));
        QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(dialog.PhotoFrame()->geometry(), QRect(259, 174, 173, 227));
        QCOMPARE(dialog.InfoLine()->geometry(), QRect(259, 409, 173, 21));
        QCOMPARE(dialog.InfoLine()->text(), QStringLiteral("信息提示区"));
        QCOMPARE(dialog.OpenButton()->geometry(), QRect(470, 167, 198, 65));
        // Template order Open, Exit, Save; Exit is no tab stop.
        QCOMPARE(NextTabStop(dialog.OpenButton()), dialog.SaveButton());
        QCOMPARE(NextTabStop(dialog.SaveButton()), dialog.OpenButton());
        QCOMPARE(dialog.ExitButton()->focusPolicy(), Qt::ClickFocus);
    }

    // The paths go to the review and the writer in UTF-8, both ways.
    void passThenSaveWritesAMarkedPhoto() {
        test::TempDir out;
        std::filesystem::create_directory(std::filesystem::u8path(out.File("报名")));
        const std::string photo = out.File("报名/照片.jpg");
        std::filesystem::copy_file(test::SamplePath("passed-grey-600x800.jpg"),
                                   std::filesystem::u8path(photo));
        const std::string saved = out.File("报名/报名照片.jpg");
        ScriptedPlatform platform;
        platform.open_answers = {QString::fromStdString(photo)};
        platform.save_answers = {QString::fromStdString(saved)};
        MainDialog dialog(platform);
        QVERIFY(OpenAndWait(dialog));
        QCOMPARE(dialog.InfoLine()->text(), kPass);
        QVERIFY(platform.questions.isEmpty());
        QVERIFY(dialog.AdviceLine()->text().isEmpty());
        QCOMPARE(dialog.ResultImage().cols, 480);
        QCOMPARE(dialog.ResultImage().rows, 640);
        QVERIFY(dialog.WorkImage().empty());
        QVERIFY(!dialog.PhotoFrame()->isHidden());
        QCOMPARE(dialog.View()->Image().size(), QSize(480, 640));
        QCOMPARE(dialog.View()->geometry(), dialog.PhotoFrame()->contentsRect());

        dialog.SavePassedPhoto();
        // Offered beside the photo; the info line then says where it went.
        QCOMPARE(platform.save_initial_name, QString::fromStdString(out.File("报名/报名照片")));
        QCOMPARE(platform.save_suffix, QStringLiteral("jpg"));
        QVERIFY(platform.messages.isEmpty());
        QVERIFY(dialog.InfoLine()->text().startsWith(QStringLiteral("已保存到 ")));
        QCOMPARE(dialog.InfoLine()->toolTip(), QString::fromStdString(saved));
        PhotoReviewer reviewer(dialog.Settings(), test::AppDataDir());
        QCOMPARE(reviewer.Review(saved).verdict, CheckVerdict::PassedByMarker);
        QVERIFY(!dialog.ResultImage().empty()); // the same photo can be saved again
    }

    // A black-and-white photo passes, and the second line says what a person would see.
    void advisoriesShowOnTheSecondLine() {
        ScriptedPlatform platform;
        platform.open_answers = {
            QString::fromUtf8(VREL_SOURCE_DIR "/tests/data/passed-greyscale-600x800.jpg"),
            Sample("passed-grey-600x800.jpg")};
        MainDialog dialog(platform);
        QVERIFY(OpenAndWait(dialog));
        QCOMPARE(dialog.InfoLine()->text(), kPass);
        QVERIFY(dialog.AdviceLine()->text().startsWith(QStringLiteral("画质提示：")));
        QVERIFY(dialog.AdviceLine()->toolTip().contains(QStringLiteral("黑白")));
        QVERIFY(OpenAndWait(dialog)); // the next photo's review clears it
        QVERIFY(dialog.AdviceLine()->text().isEmpty());
    }

    // Two faces: the line says what the face network made of them, so that the operator can
    // overrule a pattern taken for a face.
    void aFaceCountIsCheckedByTheFaceNetwork() {
        ScriptedPlatform platform;
        platform.open_answers = {Sample("face-count-wrong.jpg")};
        MainDialog dialog(platform);
        QVERIFY(OpenAndWait(dialog));
        QCOMPARE(dialog.InfoLine()->text(), kFail);
        QVERIFY(dialog.AdviceLine()->toolTip().startsWith(QStringLiteral("人脸核对：")));
        QVERIFY(!dialog.AdviceLine()->isHidden());
    }

    // The operator declines every correction; a file that could not be read or decoded whole
    // is never offered one.
    void failuresShowTheirTipAndSaveDoesNothing_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<bool>("asked");
        QTest::newRow("not jpeg") << Sample("not-jpeg.jpg") << int(CheckVerdict::NotJpeg) << true;
        QTest::newRow("file size") << Sample("file-size-out-of-range.jpg")
                                   << int(CheckVerdict::FileSizeOutOfRange) << true;
        QTest::newRow("pixel size") << Sample("pixel-size-out-of-range.jpg")
                                    << int(CheckVerdict::PixelSizeOutOfRange) << true;
        QTest::newRow("background")
            << Sample("background-rejected.jpg") << int(CheckVerdict::BackgroundRejected) << true;
        QTest::newRow("face count")
            << Sample("face-count-wrong.jpg") << int(CheckVerdict::FaceCountWrong) << true;
        QTest::newRow("placement")
            << Sample("placement-wrong.jpg") << int(CheckVerdict::PlacementWrong) << true;
        QTest::newRow("not centred")
            << Sample("not-centred.jpg") << int(CheckVerdict::NotCentred) << true;
        test::Bytes cut = test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg"));
        cut.resize(50000);
        test::WriteBytes(scratch_.File("cut.jpg"), cut);
        QTest::newRow("cut short") << QString::fromStdString(scratch_.File("cut.jpg"))
                                   << int(CheckVerdict::PixelSizeOutOfRange) << false;
        QTest::newRow("vanished") << QStringLiteral("/no/such/photo.jpg")
                                  << int(CheckVerdict::NotJpeg) << false;
    }

    void failuresShowTheirTipAndSaveDoesNothing() {
        QFETCH(QString, file);
        QFETCH(int, verdict);
        QFETCH(bool, asked);
        ScriptedPlatform platform;
        platform.open_answers = {file};
        MainDialog dialog(platform);
        QVERIFY(OpenAndWait(dialog));
        QCOMPARE(dialog.InfoLine()->text(), kFail);
        QCOMPARE(platform.questions.size(), asked ? 1 : 0);
        QVERIFY(dialog.ResultImage().empty());
        PhotoReviewer reviewer(dialog.Settings(), test::AppDataDir());
        const QImage tip = ToQImage(reviewer.LoadTipPicture(static_cast<CheckVerdict>(verdict)));
        QVERIFY(!tip.isNull());
        QCOMPARE(dialog.View()->Image(), tip);
        QVERIFY(!dialog.PhotoFrame()->isHidden());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        dialog.SavePassedPhoto();
        QCOMPARE(platform.save_dialogs, 0);
    }

    void cancelledOpenAfterAPassKeepsTheTextAndDropsThePhoto() {
        ScriptedPlatform platform;
        platform.open_answers = {Sample("passed-grey-600x800.jpg"), std::nullopt};
        MainDialog dialog(platform);
        QVERIFY(OpenAndWait(dialog));
        QVERIFY(!dialog.ResultImage().empty());
        dialog.OpenPhoto();
        QVERIFY(!dialog.Busy());
        QCOMPARE(dialog.InfoLine()->text(), kPass);
        QVERIFY(dialog.PhotoFrame()->isHidden());
        QVERIFY(dialog.ResultImage().empty());
        dialog.SavePassedPhoto();
        QCOMPARE(platform.save_dialogs, 0);
    }

    void missingTipPictureShowsAnEmptyFrame() {
        test::TempDir dir;
        std::filesystem::copy_file(test::AppDataDir() + "setting.vr", dir.File("setting.vr"));
        ScriptedPlatform platform;
        platform.app_dir = dir.Path() + "/";
        platform.open_answers = {Sample("not-jpeg.jpg")};
        MainDialog dialog(platform);
        QVERIFY(OpenAndWait(dialog));
        QCOMPARE(dialog.InfoLine()->text(), kFail);
        QVERIFY(dialog.View()->Image().isNull());
        QVERIFY(!dialog.PhotoFrame()->isHidden());
    }

    // The program ends with 0 at once, the message told and no window shown.
    void unusableSettingsAreRefusedWithAMessage() {
        const struct {
            const char* what;
            const char* text; // nullptr: setting.vr is missing; "": a folder
            const char* message;
        } cases[] = {
            {"missing", nullptr, "setting配置文件丢失！请重新下载程序"},
            {"a folder", "", "setting配置文件丢失！请重新下载程序"},
            {"no section", "; empty\n",
             "setting配置文件有误，请重新下载程序：文件中没有 [zpshcs] 一节"},
            {"no normalised size", "[zpshcs]\ndst_width=0\n",
             "setting配置文件有误，请重新下载程序：dst_width 和 dst_height 须大于 0（现为 0 和 "
             "640）"},
            {"a decimal comma crosses bounds",
             "[zpshcs]\ndst_width=480\ndst_height=640\nratio_y_min=0.15\nratio_y_max=0,45\n",
             "setting配置文件有误，请重新下载程序：ratio_y_min=0.15 大于 ratio_y_max=0，"
             "下限不能大于上限\nratio_y_max=0,45：小数点须写作“.”"},
        };
        for (const auto& c : cases) {
            test::TempDir dir;
            if (c.text != nullptr && *c.text == '\0') {
                std::filesystem::create_directory(dir.File("setting.vr"));
            } else if (c.text != nullptr) {
                test::WriteBytes(dir.File("setting.vr"),
                                 test::Bytes(c.text, c.text + std::strlen(c.text)));
            }
            ScriptedPlatform platform;
            platform.app_dir = dir.Path() + "/";
            bool shown = false;
            QTimer watch; // would see a window, and close it, were one shown
            connect(&watch, &QTimer::timeout, [&shown] {
                if (QWidget* window = QApplication::activeModalWidget()) {
                    shown = true;
                    window->close();
                }
            });
            watch.start(0);
            QCOMPARE(Application(platform).Run(), 0);
            QVERIFY2(!shown, c.what);
            QCOMPARE(platform.messages.size(), 1);
            QVERIFY2(platform.messages.front().startsWith(QString::fromUtf8(c.message)),
                     qPrintable(platform.messages.front()));
        }
    }

    void missingDetectorIsToldOnceAndTheToolGoesOn() {
        test::TempDir dir;
        std::filesystem::copy(test::AppDataDir(), dir.Path(),
                              std::filesystem::copy_options::recursive);
        std::filesystem::remove(dir.File("haarcascade_frontalface_alt2.xml"));
        ScriptedPlatform platform;
        platform.app_dir = dir.Path() + "/";
        platform.open_answers = {Sample("passed-grey-600x800.jpg"),
                                 Sample("passed-grey-600x800.jpg")};
        MainDialog dialog(platform);
        QCOMPARE(platform.messages.size(), 1);
        QVERIFY(platform.messages.front().contains(QStringLiteral("haarcascade_frontalface_alt2")));
        for (int i = 0; i < 2; ++i) {
            QVERIFY(OpenAndWait(dialog));
            QCOMPARE(dialog.InfoLine()->text(), kFail); // no face can be found
        }
        QCOMPARE(platform.messages.size(), 1);
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    // The question comes before any correction is tried: declined, the rejection stands; taken,
    // the corrected photo is shown and saved, or the reason why none could be made is told.
    void aMendableRejectionOffersTheCorrection() {
        test::TempDir dir;
        cv::imwrite(dir.File("half-length.png"), test::OnCanvas({1600, 2000}, 1.0, {544, 1400}));
        const QString mendable = QString::fromStdString(dir.File("half-length.png"));
        enum Outcome { Rejected, Corrected, Refused };
        const struct {
            const char* what;
            QString photo;
            bool take;
            Outcome outcome;
        } cases[] = {
            {"declined", mendable, false, Rejected},
            {"taken", mendable, true, Corrected},
            {"two faces", Sample("face-count-wrong.jpg"), true, Refused},
        };
        for (const auto& c : cases) {
            ScriptedPlatform platform;
            platform.open_answers = {c.photo};
            platform.yes_no_answers = {c.take};
            platform.save_answers = {QString::fromStdString(dir.File("saved.jpg"))};
            MainDialog dialog(platform);
            QVERIFY2(OpenAndWait(dialog), c.what);
            QCOMPARE(platform.questions,
                     QStringList{QStringLiteral("照片可以自动修正（转换格式与大小、重新裁剪构图、"
                                                "更换为白色背景等），是否修正？")});
            QVERIFY2(!platform.waited_at_question, c.what);
            QVERIFY(QApplication::overrideCursor() == nullptr);
            if (c.outcome != Corrected) { // as any rejection, with the reason where there is one
                QCOMPARE(dialog.InfoLine()->text(), kFail);
                PhotoReviewer reviewer(dialog.Settings(), test::AppDataDir());
                const ReviewResult review = reviewer.Review(c.photo.toStdString());
                QCOMPARE(dialog.View()->Image(), ToQImage(reviewer.LoadTipPicture(review.verdict)));
                QStringList messages;
                if (c.outcome == Refused) {
                    PhotoCorrector corrector(dialog.Settings(), test::AppDataDir());
                    messages << QString::fromStdString(CorrectionReason(
                        corrector.CorrectFile(c.photo.toStdString(), review), dialog.Settings()));
                }
                QCOMPARE(platform.messages, messages);
                QVERIFY(dialog.ResultImage().empty());
                dialog.SavePassedPhoto();
                QCOMPARE(platform.save_dialogs, 0);
                continue;
            }
            QCOMPARE(dialog.InfoLine()->text(), QStringLiteral("修正后审核通过，保存后退出"));
            QVERIFY(dialog.AdviceLine()->toolTip().startsWith(QStringLiteral("已修正：")));
            QCOMPARE(dialog.View()->Image().size(), QSize(480, 640));
            QVERIFY(platform.messages.isEmpty());
            dialog.SavePassedPhoto();
            QCOMPARE(platform.save_dialogs, 1);
            PhotoReviewer plain(dialog.Settings(), test::AppDataDir());
            QCOMPARE(plain.Review(dir.File("saved.jpg")).verdict, CheckVerdict::PassedByMarker);
            ReviewOptions every_test;
            every_test.ignore_marker = true;
            PhotoReviewer strict(dialog.Settings(), test::AppDataDir(), every_test);
            QCOMPARE(strict.Review(dir.File("saved.jpg")).verdict, CheckVerdict::Passed);
        }
    }

    // The question is asked exactly where the correction goes to work rather than refusing a
    // photo untried.
    void theQuestionComesWhereTheCorrectionTries() {
        PhotoCorrector corrector(test::ShippedSettings(), test::AppDataDir());
        const unsigned char no_photo[] = {'x'};
        for (int rule = int(Rule::Readable); rule <= int(Rule::ReviewFailed); ++rule) {
            ReviewResult review;
            review.verdict = CheckVerdict::NotJpeg;
            review.failed = FailedRule(static_cast<Rule>(rule));
            const Correction tried = corrector.Correct(no_photo, sizeof no_photo, review);
            QVERIFY2(MayCorrect(review) == (tried.rule == CorrectionRule::NotAPhoto),
                     RuleName(static_cast<Rule>(rule)));
        }
        ReviewResult passed;
        passed.verdict = CheckVerdict::Passed;
        QVERIFY(!MayCorrect(passed));
    }

    void saveFailuresShowTheirMessage() {
        test::TempDir dir;
        std::filesystem::copy(test::AppDataDir(), dir.Path(),
                              std::filesystem::copy_options::recursive);
        // Defaults: the ratio bounds reject every face, so pass by the bypass instead.
        const struct {
            const char* settings;
            std::string target;
            const char* message;
        } cases[] = {
            {"[zpshcs]\ncast=1\npic_out_max_size=1\n", dir.File("big.jpg"),
             "原始文件太大，请重新选取!"},
            {"[zpshcs]\ncast=1\npic_out_max_size=1000\n", "/no/such/folder/photo.jpg",
             "读取文件大小错误!写文件失败!"},
        };
        for (const auto& c : cases) {
            test::WriteBytes(dir.File("setting.vr"),
                             test::Bytes(c.settings, c.settings + std::strlen(c.settings)));
            ScriptedPlatform platform;
            platform.app_dir = dir.Path() + "/";
            platform.open_answers = {Sample("passed-grey-600x800.jpg")};
            platform.save_answers = {QString::fromStdString(c.target)};
            MainDialog dialog(platform);
            platform.messages.clear(); // the thresholds these settings lack, told at start
            QVERIFY(OpenAndWait(dialog));
            QCOMPARE(dialog.InfoLine()->text(), kPass);
            dialog.SavePassedPhoto();
            QCOMPARE(platform.messages, QStringList{QString::fromUtf8(c.message)});
            QVERIFY(!std::filesystem::exists(c.target));
        }
    }

    // A slip in setting.vr is told once, at start, and the settings are used as read.
    void settingsSlipsAreToldOnceAtStart() {
        test::TempDir dir;
        std::filesystem::copy(test::AppDataDir(), dir.Path(),
                              std::filesystem::copy_options::recursive);
        test::Bytes text = test::ReadBytes(dir.File("setting.vr"));
        const std::string slip = "\ns_mn=0.15\n";
        text.insert(text.end(), slip.begin(), slip.end());
        test::WriteBytes(dir.File("setting.vr"), text);
        ScriptedPlatform platform;
        platform.app_dir = dir.Path() + "/";
        platform.open_answers = {Sample("passed-grey-600x800.jpg")};
        MainDialog dialog(platform);
        QCOMPARE(platform.messages.size(), 1);
        QVERIFY(platform.messages[0].contains(
            QString::fromUtf8("s_mn：设置项名称不认识，是否应为 s_min？")));
        // The requirements are those of the settings in force.
        const QString requirements = dialog.OpenButton()->toolTip();
        QVERIFY(requirements.contains(QString::fromUtf8("宽 480～4800 像素、高 640～6400 像素")));
        QVERIFY(!requirements.contains(QString::fromUtf8("浅蓝色")));
        QCOMPARE(dialog.PhotoFrame()->toolTip(), requirements);
        QVERIFY(OpenAndWait(dialog));
        QCOMPARE(dialog.InfoLine()->text(), kPass);
        QCOMPARE(platform.messages.size(), 1);
    }

    void windowMenuCommands() {
        ScriptedPlatform platform;
        MainDialog dialog(platform);
        dialog.show();
        dialog.RunWindowCommand(WindowCommand::About);
        QCOMPARE(platform.modal_titles, QStringList{QStringLiteral("关于 VrelPictureCheck")});
        QVERIFY(dialog.isVisible());
        dialog.RunWindowCommand(WindowCommand::Close);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(platform.modal_titles.size(), 1);
    }

    // After the About box, Alt+Space on the focused button opens the window menu again, and never
    // clicks the button.
    void altSpaceOpensTheWindowMenuAfterAbout() {
        ScriptedPlatform platform;
        MainDialog dialog(platform);
        dialog.show();
        dialog.OpenButton()->setFocus();
        dialog.RunWindowCommand(WindowCommand::About);
        QCOMPARE(platform.modal_titles.size(), 1);
        bool menu_seen = false;
        QTimer::singleShot(100, [&menu_seen] {
            if (QWidget* popup = QApplication::activePopupWidget()) {
                menu_seen = true;
                popup->close();
            }
        });
        QTest::keyClick(dialog.OpenButton(), Qt::Key_Space, Qt::AltModifier);
        QTRY_VERIFY_WITH_TIMEOUT(menu_seen, 2000);
        QCOMPARE(platform.open_dialogs, 0);
    }

    // Exit, Esc and the window menu's Close end the program through its event loop, with 0,
    // a photo passed and not saved or not.
    void theWindowClosesAndTheProgramEndsWithZero() {
        const struct {
            const char* what;
            std::function<void(MainDialog&)> close;
        } cases[] = {
            {"exit", [](MainDialog& d) { d.ExitButton()->click(); }},
            {"escape", [](MainDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }},
            {"menu", [](MainDialog& d) { d.RunWindowCommand(WindowCommand::Close); }},
        };
        for (const auto& c : cases) {
            ScriptedPlatform platform;
            platform.open_answers = {Sample("passed-grey-600x800.jpg")};
            bool passed = false;
            QTimer::singleShot(0, [&] {
                auto* dialog = qobject_cast<MainDialog*>(QApplication::activeModalWidget());
                QVERIFY(dialog != nullptr);
                connect(dialog, &MainDialog::Idle, dialog, [&, dialog] {
                    passed = !dialog->ResultImage().empty();
                    c.close(*dialog);
                });
                dialog->OpenPhoto();
            });
            QCOMPARE(Application(platform).Run(), 0);
            QVERIFY2(passed, c.what);
            QVERIFY(platform.messages.isEmpty());
        }
    }

    // While a review runs the window answers, ignores a second Open and drops, and closes at once;
    // the review closed on comes to nothing.
    void oneReviewAtATime() {
        ScriptedPlatform platform;
        platform.open_answers = {Sample("passed-grey-600x800.jpg"), Sample("not-jpeg.jpg")};
        MainDialog dialog(platform);
        dialog.show();
        QSignalSpy idle(&dialog, &MainDialog::Idle);
        dialog.OpenPhoto();
        QVERIFY(dialog.Busy());
        QVERIFY(QApplication::overrideCursor() != nullptr);
        dialog.OpenPhoto();
        QCOMPARE(platform.open_dialogs, 1);
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(Sample("not-jpeg.jpg"))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        static_cast<QObject&>(dialog).event(&enter);
        QVERIFY(!enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        static_cast<QObject&>(dialog).event(&drop);
        QVERIFY(idle.wait(120000));
        QCOMPARE(idle.count(), 1);
        QCOMPARE(dialog.InfoLine()->text(), kPass);
        QVERIFY(QApplication::overrideCursor() == nullptr);

        dialog.OpenPhoto(); // not a JPEG, closed on before it is shown
        QVERIFY(dialog.Busy());
        dialog.Exit();
        QVERIFY(!dialog.isVisible());
        QVERIFY(idle.wait(120000));
        QCOMPARE(dialog.InfoLine()->text(), kPass);
        QVERIFY(platform.questions.isEmpty());
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void droppedFileIsReviewedLikeAnOpenedOne() {
        ScriptedPlatform platform;
        MainDialog dialog(platform);
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(Sample("passed-grey-600x800.jpg"))});
        QSignalSpy idle(&dialog, &MainDialog::Idle);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        static_cast<QObject&>(dialog).event(&drop);
        QVERIFY(idle.wait(120000));
        QCOMPARE(dialog.InfoLine()->text(), kPass);
        QVERIFY(!dialog.ResultImage().empty());
    }

    void eachDialogKeepsItsOwnPhoto() {
        ScriptedPlatform platform;
        platform.open_answers = {Sample("passed-grey-600x800.jpg")};
        MainDialog passed(platform);
        QVERIFY(OpenAndWait(passed));
        QVERIFY(!passed.ResultImage().empty());
        MainDialog fresh(platform);
        QVERIFY(fresh.ResultImage().empty());
        fresh.SavePassedPhoto();
        QCOMPARE(platform.save_dialogs, 0);
    }

    void picturesForTheScreenScale_data() {
        QTest::addColumn<QString>("picture");
        QTest::addColumn<double>("ratio");
        QTest::addColumn<QSize>("pixels");
        QTest::addColumn<double>("drawn_at");
        const QString background = QStringLiteral(":/pictures/background.png");
        QTest::newRow("background 1x") << background << 1.0 << QSize(701, 488) << 1.0;
        QTest::newRow("background 2x") << background << 2.0 << QSize(1402, 976) << 2.0;
        // Made smaller from 2x rather than larger from 1x.
        QTest::newRow("background 1.5x") << background << 1.5 << QSize(1402, 976) << 2.0;
        for (const char* button : {"open", "save", "exit"}) {
            const QString path = QStringLiteral(":/pictures/%1.png").arg(QLatin1String(button));
            QTest::newRow(button) << path << 2.0 << QSize(400, 134) << 2.0;
        }
        for (int size : {16, 32, 48}) {
            const QString path = QStringLiteral(":/pictures/icon%1.png").arg(size);
            QTest::newRow(qPrintable(path)) << path << 2.0 << QSize(2 * size, 2 * size) << 2.0;
        }
        const QString plain = QString::fromStdString(scratch_.File("plain.png"));
        QImage(8, 8, QImage::Format_RGB32).save(plain);
        QTest::newRow("no 2x drawing") << plain << 2.0 << QSize(8, 8) << 1.0;
    }

    void picturesForTheScreenScale() {
        QFETCH(QString, picture);
        QFETCH(double, ratio);
        QFETCH(QSize, pixels);
        QFETCH(double, drawn_at);
        InitPictureResources();
        const ScaledPicture scaled(picture);
        const QPixmap& chosen = scaled.ForRatio(ratio);
        QCOMPARE(chosen.size(), pixels);
        QCOMPARE(chosen.devicePixelRatio(), drawn_at);
    }

    // On a screen at twice the scale the window paints the drawings made at twice the
    // resolution, pixel for pixel. A screen's scale is fixed when the application starts, so
    // the check runs in a second run of this program with QT_SCALE_FACTOR=2.
    void sharpPicturesAtTwiceTheScale() {
        if (qApp->devicePixelRatio() != 2) {
            QVERIFY2(qEnvironmentVariableIsEmpty("VREL_SCALED_RUN"), "QT_SCALE_FACTOR ignored");
            QProcess scaled;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("2"));
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            env.insert(QStringLiteral("VREL_SCALED_RUN"), QStringLiteral("1"));
            scaled.setProcessEnvironment(env);
            scaled.setProcessChannelMode(QProcess::MergedChannels);
            scaled.start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("sharpPicturesAtTwiceTheScale")});
            QVERIFY(scaled.waitForFinished(120000));
            const QByteArray output = scaled.readAll();
            QVERIFY2(scaled.exitStatus() == QProcess::NormalExit && scaled.exitCode() == 0,
                     output.constData());
            return;
        }
        ScriptedPlatform platform;
        MainDialog dialog(platform);
        QCOMPARE(dialog.devicePixelRatioF(), 2.0);
        QCOMPARE(dialog.Background().size(), QSize(1402, 976));
        for (QAbstractButton* button :
             {dialog.OpenButton(), dialog.SaveButton(), dialog.ExitButton()}) {
            auto* picture = qobject_cast<PictureButton*>(button);
            QVERIFY(picture != nullptr);
            QCOMPARE(picture->Picture().size(), QSize(400, 134));
        }
        // The title banner has no widget over it: there the window is the 2x drawing itself.
        const QImage shot = dialog.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shot.size(), QSize(1402, 976));
        const QImage drawing = QImage(QStringLiteral(":/pictures/background@2x.png"))
                                   .convertToFormat(QImage::Format_RGB32);
        const QRect banner(0, 0, 1402, 100);
        QVERIFY(shot.copy(banner) == drawing.copy(banner));
    }

private:
    test::TempDir scratch_;
};

} // namespace
} // namespace vrel

QTEST_MAIN(vrel::MainDialogTest)
#include "test_main_dialog.moc"
