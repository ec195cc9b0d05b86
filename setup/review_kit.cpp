#include "setup/review_kit.h"

#include "setup/options.h"

namespace vrel {

Result<BackdropColour> KitBackdrop(const std::optional<std::string>& asked,
                                   const CheckSettings& settings) {
    if (asked) {
        return ChooseBackdrop(*asked, settings);
    }
    const std::vector<BackdropColour> accepted = AcceptedBackdrops(settings);
    return accepted.empty() ? WhiteBackdrop() : accepted.front();
}

Result<ReviewKit> LoadReviewKit(const std::string& settings_path, std::string data_dir,
                                bool corrections) {
    ReviewKit kit;
    if (Error error = LoadReviewSetup(settings_path, data_dir, kit.settings)) {
        // A file that cannot be used often is so by a slip: a decimal comma read as 0 crosses
        // its bounds. The slips are told with the refusal.
        if (error.Code() == ErrorCode::Invalid) {
            std::string detail = error.Detail();
            for (const SettingsWarning& warning : SettingsFileWarnings(settings_path)) {
                detail += "\n  warning: " + WarningLine(warning);
            }
            return Error(ErrorCode::Invalid, detail);
        }
        return error;
    }
    kit.data_dir = std::move(data_dir);
    kit.warnings = SettingsFileWarnings(settings_path);
    kit.backdrop = *KitBackdrop(std::nullopt, kit.settings);
    kit.corrections = corrections;
    kit.landmarks_unavailable = FaceLandmarker(kit.data_dir + kModelsFolder).Problem();
    if (corrections) {
        kit.correction_unavailable = PhotoCorrector(kit.settings, kit.data_dir).SetupError();
    }
    return kit;
}

WorkerTools::WorkerTools(const ReviewKit& kit)
    : settings(kit.settings), reviewer(kit.settings, kit.data_dir, kit.review) {
    if (kit.corrections) {
        corrector.emplace(kit.settings, reviewer.DataDir(), kit.backdrop);
    }
    if (kit.labels) {
        labels.emplace(reviewer.DataDir());
    }
}

Result<std::unique_ptr<WorkerTools>> MakeTools(const ReviewKit& kit) {
    auto tools = std::make_unique<WorkerTools>(kit);
    if (kit.review.reuse_detector) {
        if (Error missing = tools->reviewer.Detector().LoadError()) {
            return missing;
        }
    }
    return tools;
}

std::function<std::unique_ptr<WorkerTools>()> ToolsFactory(ReviewKit kit) {
    return [kit = std::move(kit)] {
        Result<std::unique_ptr<WorkerTools>> tools = MakeTools(kit);
        if (!tools) {
            throw ErrorThrown(tools.Err());
        }
        return std::move(*tools);
    };
}

} // namespace vrel
