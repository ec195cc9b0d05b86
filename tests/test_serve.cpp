// vrel-serve's API, against a service started inside the test on an ephemeral loopback port:
// every route and status, saved downloads that pass by their marker, and the limits under
// faults (oversized, cut and slow bodies, slow clients, a full queue). The records and
// corrections of the sample photos: test_samples.cpp.
#include "serve/http_server.h"
#include "serve/multipart.h"
#include "serve/profiles.h"
#include "serve/routes.h"

#include "serve_client.h"
#include "test_support.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace vrel::serve {
namespace {

using namespace test_client;

// The raw body, named by the query. (test_samples.cpp posts every sample as a form.)
TEST(Serve, ARawBodyIsReviewedUnderTheQuerysName) {
    Running service;
    const Answer raw =
        Send(service.Port(), http::verb::post, "/api/v1/review?filename=%E7%85%A7.jpg",
             Text(test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg"))));
    EXPECT_EQ(raw.headers.at("Content-Type"), "application/json");
    EXPECT_EQ(raw.AsJson()["path"], "照.jpg");
    EXPECT_EQ(raw.AsJson()["verdict"], "Passed");
}

// Unless trusted (as test_samples.cpp's service is).
TEST(Serve, MarkedUploadsAreReviewedWithEveryTest) {
    Running service;
    const Json record = Post(service.Port(), "/api/v1/review", "passed-by-marker.jpg").AsJson();
    EXPECT_EQ(record["verdict"], "PixelSizeOutOfRange");
    EXPECT_EQ(record["marked"], true);
}

// Corrections: test_samples.cpp.
TEST(Serve, SaveAndAnnotateAnswerFilesOrSayWhyNot) {
    Running service;
    const uint16_t port = service.Port();
    test::TempDir dir;
    PhotoReviewer plain(test::ShippedSettings(), test::AppDataDir());

    const Answer saved = Post(port, "/api/v1/save", "passed-grey-600x800.jpg");
    ASSERT_EQ(saved.status, 200);
    EXPECT_EQ(saved.headers.at("Content-Type"), "image/jpeg");
    EXPECT_EQ(saved.headers.at("Content-Disposition"),
              "attachment; filename=\"photo.jpg\"; "
              "filename*=UTF-8''%E6%8A%A5%E5%90%8D%E7%85%A7%E7%89%87.jpg");
    test::WriteBytes(dir.File("saved.jpg"), Bytes(saved.body.begin(), saved.body.end()));
    EXPECT_EQ(plain.Review(dir.File("saved.jpg")).verdict, CheckVerdict::PassedByMarker);

    const Answer refused = Post(port, "/api/v1/save", "background-rejected.jpg");
    EXPECT_EQ(refused.status, 422);
    EXPECT_EQ(refused.AsJson()["record"]["verdict"], "BackgroundRejected");
    EXPECT_FALSE(refused.AsJson()["error"].get<std::string>().empty());

    const Answer picture = Post(port, "/api/v1/annotate", "background-rejected.jpg");
    ASSERT_EQ(picture.status, 200);
    EXPECT_EQ(picture.headers.at("Content-Type"), "image/png");
    EXPECT_EQ(
        cv::imdecode(Bytes(picture.body.begin(), picture.body.end()), cv::IMREAD_COLOR).size(),
        cv::Size(480, 640));
    EXPECT_EQ(Post(port, "/api/v1/annotate", "not-jpeg.jpg").status, 422);
}

CheckSettings BlueAllowed() {
    CheckSettings s = test::ShippedSettings();
    s.bgc = 1;
    return s;
}

// The backdrop colour of a correction: the service's own unless the request asks for another,
// which must be one the settings accept; a refused colour is answered before the photo is read
// or reviewed.
TEST(Serve, ACorrectionsBackdropIsCheckedBeforeAnyWork) {
    struct Seen {
        std::mutex mutex;
        int calls = 0;
        std::string asked, own; // the request's colour ("-": none), the corrector's own
    };
    const auto serve = [](const CheckSettings& settings, const BackdropColour& own, Seen& seen) {
        ServiceOptions options = Running::Defaults();
        options.pool.kit.settings = settings;
        options.pool.kit.backdrop = own;
        options.handler = [&seen](Action, WorkerTools& tools, const Upload& upload,
                                  const WorkLimit&, CheckVerdict&) {
            std::lock_guard<std::mutex> lock(seen.mutex);
            ++seen.calls;
            seen.asked = upload.backdrop ? upload.backdrop->name : "-";
            seen.own = tools.corrector->Backdrop().name;
            return Reply{200, "image/jpeg", "JPEG", {}};
        };
        return std::make_unique<Running>(options);
    };
    const CheckSettings shipped = test::ShippedSettings();
    const std::string long_text(40, 'a');
    const struct {
        const char* what;
        CheckSettings settings;
        BackdropColour own;
        std::string query;
        int status;
        const char* asked; // the colour the handler got, for 200
    } cases[] = {
        {"none asked: the service's own", shipped, WhiteBackdrop(), "", 200, "-"},
        {"white", shipped, WhiteBackdrop(), "?backdrop=white", 200, "white"},
        {"any case", shipped, WhiteBackdrop(), "?backdrop=WHITE", 200, "white"},
        {"a light grey as #RRGGBB", shipped, WhiteBackdrop(), "?backdrop=%23F0F0F0", 200,
         "#f0f0f0"},
        {"beside other parameters", shipped, WhiteBackdrop(), "?filename=a.jpg&backdrop=white", 200,
         "white"},
        {"blue where bgc=1", BlueAllowed(), WhiteBackdrop(), "?backdrop=blue", 200, "blue"},
        {"the service's blue", BlueAllowed(), BlueBackdrop(), "", 200, "-"},
        {"blue where bgc=0", shipped, WhiteBackdrop(), "?backdrop=blue", 400, nullptr},
        {"an unknown name", shipped, WhiteBackdrop(), "?backdrop=red", 400, nullptr},
        {"empty", shipped, WhiteBackdrop(), "?backdrop=", 400, nullptr},
        {"without a value", shipped, WhiteBackdrop(), "?backdrop", 400, nullptr},
        {"a dark colour the backdrop test refuses", shipped, WhiteBackdrop(), "?backdrop=%23202020",
         400, nullptr},
        {"a cut #RRGGBB", shipped, WhiteBackdrop(), "?backdrop=%23ffff", 400, nullptr},
        {"a broken escape", shipped, WhiteBackdrop(), "?backdrop=%zz", 400, nullptr},
        {"a long text", shipped, WhiteBackdrop(), "?backdrop=" + long_text, 400, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ": " + c.query);
        Seen seen;
        const auto service = serve(c.settings, c.own, seen);
        const Answer a =
            Send(service->Port(), http::verb::post, "/api/v1/correct" + c.query, "photo bytes");
        ASSERT_EQ(a.status, c.status) << a.body;
        std::lock_guard<std::mutex> lock(seen.mutex);
        if (c.status == 400) {
            EXPECT_EQ(seen.calls, 0);
            const std::string error = a.AsJson()["error"];
            EXPECT_NE(error.find("背景颜色"), std::string::npos) << error;
            EXPECT_EQ(error.find(long_text), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.asked, c.asked);
        EXPECT_EQ(seen.own, c.own.name);
    }
    // Refused from the request's head alone: the body is never waited for.
    Seen seen;
    const auto service = serve(shipped, WhiteBackdrop(), seen);
    RawClient client(service->Port());
    client.Write("POST /api/v1/correct?backdrop=blue HTTP/1.1\r\nHost: x\r\n"
                 "Content-Length: 100000\r\n\r\n");
    const std::string answer = client.ReadAll();
    EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << answer;
}

TEST(Serve, TheBackdropsRouteListsTheColoursTheSettingsAccept) {
    const Json white = {{"name", "white"}, {"label", "白色"}, {"colour", "#ffffff"}};
    const Json blue = {{"name", "blue"}, {"label", "蓝色"}, {"colour", "#438edb"}};
    const Json grey = {{"name", "#f0f0f0"}, {"label", "指定颜色 #f0f0f0"}, {"colour", "#f0f0f0"}};
    const struct {
        const char* what;
        CheckSettings settings;
        std::string own;
        Json expected;
    } cases[] = {
        {"white only",
         test::ShippedSettings(),
         "white",
         {{"default", "white"}, {"choices", {white}}}},
        {"white as #FFFFFF",
         test::ShippedSettings(),
         "#FFFFFF",
         {{"default", "white"}, {"choices", {white}}}},
        {"blue as well",
         BlueAllowed(),
         "white",
         {{"default", "white"}, {"choices", {white, blue}}}},
        {"blue by default",
         BlueAllowed(),
         "blue",
         {{"default", "blue"}, {"choices", {white, blue}}}},
        {"the service's own grey first",
         test::ShippedSettings(),
         "#F0F0F0",
         {{"default", "#f0f0f0"}, {"choices", {grey, white}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto own = ChooseBackdrop(c.own, c.settings);
        ASSERT_TRUE(own) << own.Err().Detail();
        ServiceOptions options = Running::Defaults();
        options.pool.kit.settings = c.settings;
        options.pool.kit.backdrop = *own;
        options.pool.jobs = 1;
        Running service(options);
        const Answer a = Send(service.Port(), http::verb::get, "/api/v1/backdrops", "");
        ASSERT_EQ(a.status, 200);
        EXPECT_EQ(a.headers.at("Content-Type"), "application/json");
        EXPECT_EQ(a.AsJson(), c.expected);
    }
}

// Without the backdrop model a correction is answered 503 before the photo is reviewed, and
// nothing else changes: the reviews, the explanation pictures and the saved photos go on.
TEST(Serve, WithoutTheBackdropModelOnlyCorrectionsAreUnavailable) {
    test::TempDir dir;
    namespace fs = std::filesystem;
    for (const auto& entry : fs::directory_iterator(test::AppDataDir())) {
        const std::string name = entry.path().filename().string();
        if (name == "labels" || entry.path().extension() == ".xml") {
            fs::copy(entry.path(), dir.File(name), fs::copy_options::recursive);
        }
    }
    ASSERT_TRUE(fs::exists(test::AppDataDir() + kBackdropModelFile)); // the normal service has it
    ServiceOptions options = Running::Defaults();
    options.pool.kit.data_dir = dir.Path() + "/";
    Running service(options);
    const uint16_t port = service.Port();
    for (const char* sample : {"background-rejected.jpg", "passed-grey-600x800.jpg"}) {
        SCOPED_TRACE(sample);
        const Answer a = Post(port, "/api/v1/correct", sample);
        EXPECT_EQ(a.status, 503);
        EXPECT_EQ(a.headers.count("Retry-After"), 0u); // trying again does not help
        const std::string error = a.AsJson()["error"];
        EXPECT_NE(error.find("自动修正暂不可用"), std::string::npos) << error;
        EXPECT_NE(error.find("背景模型"), std::string::npos) << error;
    }
    EXPECT_EQ(Post(port, "/api/v1/review", "background-rejected.jpg").AsJson()["verdict"],
              "BackgroundRejected");
    EXPECT_EQ(Post(port, "/api/v1/annotate", "background-rejected.jpg").status, 200);
    EXPECT_EQ(Post(port, "/api/v1/save", "passed-grey-600x800.jpg").status, 200);
    // A refused colour is still told as such.
    EXPECT_EQ(Send(port, http::verb::post, "/api/v1/correct?backdrop=red", "x").status, 400);
    // The unanswered corrections count no verdict.
    const std::string metrics = Send(port, http::verb::get, "/metrics", "").body;
    for (const char* line :
         {"vrel_requests_total{route=\"/api/v1/correct\",status=\"503\"} 2",
          "vrel_verdicts_total{verdict=\"BackgroundRejected\",profile=\"default\"} 2",
          "vrel_verdicts_total{verdict=\"Passed\",profile=\"default\"} 1"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line << "\n" << metrics;
    }
}

// A profile's settings file as the test writes it: the shipped settings with some keys
// changed, and a [profile] section.
std::string ProfileText(const std::string& title, const std::string& changes) {
    std::ifstream in(test::AppDataDir() + "setting.vr");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text = "[profile]\ntitle=" + title + "\nsource=test\n\n" + text;
    std::istringstream lines(changes);
    for (std::string line; std::getline(lines, line, ';');) {
        const std::string key = line.substr(0, line.find('=') + 1);
        const size_t at = text.find("\n" + key);
        text.replace(at + 1, text.find('\n', at + 1) - at - 1, line);
    }
    return text;
}

// --profiles DIR: every NAME.vr, by name; a folder that cannot serve is refused, naming why.
TEST(Profiles, AFolderLoadsEveryProfileOrSaysWhyNot) {
    ReviewKit like;
    like.data_dir = test::AppDataDir();
    like.corrections = false;
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;
        std::vector<std::string> names; // empty: refused
        const char* error;
    } cases[] = {
        {"two, by name, other files ignored",
         {{"b.vr", ProfileText("B", "bgc=1")}, {"a-1_x.vr", ProfileText("A", "")}, {"n.txt", ""}},
         {"a-1_x", "b"},
         ""},
        {"none", {{"readme.txt", "x"}}, {}, "holds no NAME.vr"},
        {"named default", {{"default.vr", ProfileText("D", "")}}, {}, "not 'default'"},
        {"a name with a space", {{"a b.vr", ProfileText("D", "")}}, {}, "a profile's name"},
        {"no [zpshcs] section", {{"a.vr", "[profile]\ntitle=x\n"}}, {}, "no [zpshcs] section"},
        {"crossed bounds", {{"a.vr", ProfileText("A", "ratio_y_max=0.1")}}, {}, "a.vr"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        for (const auto& [name, text] : c.files) {
            std::ofstream(dir.File(name)) << text;
        }
        const auto profiles = LoadProfiles(dir.Path(), like, std::nullopt);
        if (c.names.empty()) {
            ASSERT_FALSE(profiles);
            EXPECT_NE(profiles.Err().Detail().find(c.error), std::string::npos)
                << profiles.Err().Detail();
            continue;
        }
        ASSERT_TRUE(profiles) << profiles.Err().Detail();
        std::vector<std::string> names;
        for (const ServiceProfile& p : *profiles) {
            names.push_back(p.name);
        }
        EXPECT_EQ(names, c.names);
        EXPECT_EQ((*profiles)[0].info.title, "A");
        EXPECT_EQ((*profiles)[0].info.source, "test");
        EXPECT_EQ((*profiles)[1].kit.settings.bgc, 1);
    }
    test::TempDir missing;
    EXPECT_FALSE(LoadProfiles(missing.File("nothing"), like, std::nullopt));
}

// ?profile=NAME chooses the rules of every photo route, the colours and the requirements; the
// record, the corrected photo and the counters say which.
TEST(Profiles, EachRequestIsReviewedByTheProfileItChooses) {
    test::TempDir dir;
    std::ofstream(dir.File("large.vr")) << ProfileText("大照片", "min_width=1000;min_height=1300");
    std::ofstream(dir.File("blue.vr")) << ProfileText("蓝色背景", "bgc=1");
    ServiceOptions options = Running::Defaults();
    auto profiles = LoadProfiles(dir.Path(), options.pool.kit, std::nullopt);
    ASSERT_TRUE(profiles) << profiles.Err().Detail();
    options.pool.profiles = std::move(*profiles);
    options.pool.info.title = "默认";
    Running service(options);
    const uint16_t port = service.Port();

    const Json listed = Send(port, http::verb::get, "/api/v1/profiles", "").AsJson();
    EXPECT_EQ(listed["default"], "default");
    EXPECT_EQ(listed["profiles"], Json::parse(R"([{"name":"default","title":"默认","source":""},
                              {"name":"blue","title":"蓝色背景","source":"test"},
                              {"name":"large","title":"大照片","source":"test"}])"));

    const struct {
        const char* query;
        const char* sample;
        const char* verdict; // the record's; empty: the request is refused with 400
    } cases[] = {
        {"", "passed-grey-600x800.jpg", "Passed"},
        {"?profile=default", "passed-grey-600x800.jpg", "Passed"},
        {"?profile=large", "passed-grey-600x800.jpg", "PixelSizeOutOfRange"},
        {"?profile=large", "passed-white-1200x1600.jpg", "Passed"},
        {"?profile=blue", "passed-grey-600x800.jpg", "Passed"},
        {"?profile=nosuch", "passed-grey-600x800.jpg", ""},
        {"?profile=%E4%B8%AD", "passed-grey-600x800.jpg", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.query) + " " + c.sample);
        const Answer a = Post(port, std::string("/api/v1/review") + c.query, c.sample);
        if (*c.verdict == '\0') {
            ASSERT_EQ(a.status, 400);
            const std::string error = a.AsJson()["error"];
            EXPECT_NE(error.find("可选 default、blue、large"), std::string::npos) << error;
            continue;
        }
        ASSERT_EQ(a.status, 200) << a.body;
        EXPECT_EQ(a.AsJson()["verdict"], c.verdict);
        const std::string q = c.query;
        EXPECT_EQ(a.AsJson()["profile"], q.empty() ? "default" : q.substr(q.find('=') + 1));
    }
    // The requirements and colours are the profile's; so is a correction's colour.
    const auto sentences = [&](const std::string& query) {
        return Send(port, http::verb::get, "/api/v1/requirements" + query, "").AsJson();
    };
    EXPECT_EQ(sentences("?profile=large")["pixels"]["min_width"], 1000);
    EXPECT_EQ(sentences("?profile=large")["profile"]["title"], "大照片");
    EXPECT_EQ(sentences("")["backdrops"]["light_blue"], false);
    EXPECT_EQ(sentences("?profile=blue")["backdrops"]["light_blue"], true);
    EXPECT_EQ(Send(port, http::verb::get, "/api/v1/backdrops?profile=nosuch", "").status, 400);
    EXPECT_EQ(Send(port, http::verb::get, "/api/v1/backdrops?profile=blue", "")
                  .AsJson()["choices"]
                  .size(),
              2u);
    EXPECT_EQ(Post(port, "/api/v1/correct?backdrop=blue", "background-rejected.jpg").status, 400);
    const Answer corrected =
        Post(port, "/api/v1/correct?profile=blue&backdrop=blue", "background-rejected.jpg");
    EXPECT_NE(corrected.status, 400);
    if (corrected.status == 200) {
        EXPECT_EQ(corrected.headers.at("X-Vrel-Profile"), "blue");
    }
    const std::string metrics = Send(port, http::verb::get, "/metrics", "").body;
    for (const char* line : {"vrel_verdicts_total{verdict=\"Passed\",profile=\"default\"} 2",
                             "vrel_verdicts_total{verdict=\"Passed\",profile=\"large\"} 1",
                             "vrel_verdicts_total{verdict=\"PixelSizeOutOfRange\","
                             "profile=\"large\"} 1"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line << "\n" << metrics;
    }
}

// A small upload that declares a huge picture is never decoded, on any route.
TEST(Serve, DeclaredGiantsAreNotDecoded) {
    Running service;
    Bytes bomb = test::DeclaringSize(
        test::EncodeJpeg(cv::Mat(16, 16, CV_8UC3, cv::Scalar::all(200))), 64768, 64768);
    bomb.resize(bomb.size() + 12000, 0); // past the smallest file size
    const std::string body = Multipart("photo", "bomb.jpg", Text(bomb));
    const Json record =
        Send(service.Port(), http::verb::post, "/api/v1/review", body, kMultipartType).AsJson();
    EXPECT_EQ(record["verdict"], "PixelSizeOutOfRange");
    EXPECT_EQ(record["width"], 64768);
    for (const char* route : {"/api/v1/save", "/api/v1/annotate", "/api/v1/correct"}) {
        EXPECT_EQ(Send(service.Port(), http::verb::post, route, body, kMultipartType).status, 422)
            << route;
    }
}

TEST(Serve, PageTipsHealthAndMetricsAreBuiltIn) {
    Running service;
    const uint16_t port = service.Port();
    const struct {
        const char* target;
        int status;
        const char* type;
    } cases[] = {
        {"/", 200, "text/html; charset=utf-8"},
        {"/app.js", 200, "text/javascript; charset=utf-8"},
        {"/style.css", 200, "text/css; charset=utf-8"},
        {"/tips/state6.jpg", 200, "image/jpeg"},
        {"/tips/state2.jpg", 404, "application/json"},
        {"/tips/../setting.vr", 404, "application/json"},
        {"/tips/%2e%2e%2fsetting.vr", 404, "application/json"},
        {"/healthz", 200, "application/json"},
        {"/metrics", 200, "text/plain; version=0.0.4"},
        {"/no/such/path", 404, "application/json"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        const Answer a = Send(port, http::verb::get, c.target, "");
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.headers.at("Content-Type"), c.type);
        if (std::string(c.type) == "application/json") {
            EXPECT_NO_THROW(a.AsJson());
        }
    }
    const Bytes tip = test::ReadBytes(VREL_SOURCE_DIR "/data/tips/state6.jpg");
    EXPECT_EQ(Send(port, http::verb::get, "/tips/state6.jpg", "").body, Text(tip));
    Post(port, "/api/v1/review", "background-rejected.jpg");
    const std::string metrics = Send(port, http::verb::get, "/metrics", "").body;
    for (const char* line :
         {"vrel_requests_total{route=\"/api/v1/review\",status=\"200\"} 1",
          "vrel_verdicts_total{verdict=\"BackgroundRejected\",profile=\"default\"} 1",
          "vrel_review_seconds_count 1", "vrel_queue_depth 0", "vrel_requests_in_flight 1"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line << "\n" << metrics;
    }
}

TEST(Serve, BadRequestsGetJsonErrors) {
    ServiceOptions options = Running::Defaults();
    options.limits.max_upload_bytes = 1 << 20;
    Running service(options);
    const uint16_t port = service.Port();
    const std::string photo = Text(test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg")));
    const struct {
        const char* what;
        http::verb method;
        const char* target;
        std::string body;
        std::string type;
        int status;
    } cases[] = {
        {"wrong method", http::verb::get, "/api/v1/review", "", "", 405},
        {"wrong method on the page", http::verb::post, "/healthz", "x", "text/plain", 405},
        {"empty body", http::verb::post, "/api/v1/review", "", "", 400},
        {"no photo field", http::verb::post, "/api/v1/review", Multipart("file", "a.jpg", photo),
         kMultipartType, 400},
        {"no closing boundary", http::verb::post, "/api/v1/review",
         "--XyZ-42\r\nContent-Disposition: form-data; name=\"photo\"\r\n\r\nabc", kMultipartType,
         400},
        {"no boundary at all", http::verb::post, "/api/v1/review", photo, kMultipartType, 400},
        {"too large", http::verb::post, "/api/v1/review", std::string(2 << 20, 'x'),
         "application/octet-stream", 413},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Answer a = Send(port, c.method, c.target, c.body, c.type);
        EXPECT_EQ(a.status, c.status) << a.body;
        EXPECT_FALSE(a.AsJson()["error"].get<std::string>().empty());
    }
    EXPECT_EQ(Send(port, http::verb::get, "/api/v1/review", "").headers.at("Allow"), "POST");
}

TEST(Serve, OversizedBodiesAreRefusedBeforeTheyAreRead) {
    ServiceOptions options = Running::Defaults();
    options.limits.max_upload_bytes = 1 << 20;
    Running service(options);
    RawClient client(service.Port());
    // Declares 50 MB and sends none of it: the answer comes at once.
    client.Write("POST /api/v1/review HTTP/1.1\r\nHost: x\r\nContent-Length: 52428800\r\n\r\n");
    const std::string answer = client.ReadAll();
    EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer;
}

TEST(Serve, CutAndStalledBodiesEndTheirConnectionOnly) {
    ServiceOptions options = Running::Defaults();
    options.limits.body_idle_timeout = std::chrono::milliseconds(300);
    Running service(options);
    const std::string head =
        "POST /api/v1/review HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n";
    {
        RawClient cut(service.Port()); // sends half and goes away
        cut.Write(head + std::string(50000, 'x'));
    }
    RawClient stalled(service.Port()); // sends half and waits
    stalled.Write(head + std::string(50000, 'x'));
    const std::string answer = stalled.ReadAll();
    EXPECT_EQ(answer.rfind("HTTP/1.1 408", 0), 0u) << answer;
    EXPECT_EQ(Post(service.Port(), "/api/v1/review", "passed-grey-600x800.jpg").status, 200);
}

// A hundred clients in the middle of their headers hold nothing: the service answers others
// while they are still connected.
TEST(Serve, SlowClientsCannotHoldTheService) {
    ServiceOptions options = Running::Defaults();
    options.limits.header_timeout = std::chrono::seconds(60);
    Running service(options);
    std::vector<std::unique_ptr<RawClient>> slow;
    const std::string request = "POST /api/v1/review HTTP/1.1\r\nHost: x\r\n";
    for (size_t i = 0; i < 3; ++i) {
        for (int c = 0; c < 100; ++c) {
            if (i == 0) {
                slow.push_back(std::make_unique<RawClient>(service.Port()));
            }
            slow[c]->Write(std::string(1, request[i]));
        }
        EXPECT_EQ(Send(service.Port(), http::verb::get, "/healthz", "").status, 200);
    }
    EXPECT_EQ(Post(service.Port(), "/api/v1/review", "passed-grey-600x800.jpg").status, 200);
}

TEST(Serve, AFullQueueIsAnswered503WithRetryAfter) {
    ServiceOptions options = Running::Defaults();
    options.pool.jobs = 1;
    options.limits.queue = options.pool.queue = 1;
    Running service(options);
    const std::string body =
        Multipart("photo", "big.jpg",
                  Text(test::EncodeJpeg(test::OnCanvas({3000, 4000}, 3.2, {680, 2080}), 95)));
    std::vector<std::thread> clients;
    std::mutex mutex;
    std::multiset<int> statuses;
    std::string retry_after;
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back([&] {
            const Answer a =
                Send(service.Port(), http::verb::post, "/api/v1/correct", body, kMultipartType);
            std::lock_guard<std::mutex> lock(mutex);
            statuses.insert(a.status);
            if (a.status == 503) {
                retry_after = a.headers.at("Retry-After");
            }
        });
    }
    for (auto& c : clients) {
        c.join();
    }
    EXPECT_GE(statuses.count(503), 1u);
    EXPECT_GE(statuses.count(200), 1u);
    EXPECT_EQ(retry_after, "1");
}

// Stopped while a photo is being sent (the service has said "100 Continue"): the request is
// still read, reviewed and answered.
TEST(Serve, StopFinishesWhatIsUnderWay) {
    auto service = std::make_unique<Running>();
    const std::string photo = Text(test::ReadBytes(test::SamplePath("passed-white-1200x1600.jpg")));
    RawClient client(service->Port());
    client.Write("POST /api/v1/correct HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                 "Content-Length: " +
                 std::to_string(photo.size()) + "\r\n\r\n");
    ASSERT_EQ(client.ReadUntil("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    std::thread stop([&] { service.reset(); }); // stops and waits for the request under way
    client.Write(photo);
    const std::string answer = client.ReadAll();
    stop.join();
    EXPECT_EQ(answer.rfind("HTTP/1.1 422", 0), 0u) << answer.substr(0, 200); // already passes
}

TEST(Multipart, FieldsAndTheirNames) {
    const std::string body = "preamble\r\n--b\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n"
                             "1\r\n--b\r\ncontent-disposition: form-data; name=photo; "
                             "filename*=UTF-8''%E7%85%A7+1.jpg\r\n\r\nJPEG\r\n--b--\r\n";
    const auto field = FindFormField(body, "b", "photo");
    ASSERT_TRUE(field) << field.Err().Detail();
    EXPECT_EQ(field->content, "JPEG");
    EXPECT_EQ(field->filename, "照+1.jpg");
    EXPECT_EQ(FindFormField(body, "b", "none").Err().Code(), ErrorCode::NotFound);
    EXPECT_EQ(FindFormField("--b\r\nx", "b", "photo").Err().Code(), ErrorCode::Invalid);
    EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=\"a b\""), "a b");
    EXPECT_FALSE(MultipartBoundary("multipart/mixed; boundary=a").has_value());
    EXPECT_FALSE(MultipartBoundary("multipart/form-data").has_value());
}

// The API description lists exactly the service's routes.
TEST(Serve, TheApiDescriptionListsEveryRoute) {
    std::ifstream in(VREL_SOURCE_DIR "/docs/openapi.yaml");
    std::set<std::pair<std::string, std::string>> described, served;
    std::string line, path;
    bool in_paths = false;
    const std::regex path_line(R"(^  (/[^:]*):\s*$)");
    const std::regex method_line(R"(^    (get|post|put|delete|patch|head|options):\s*$)");
    std::smatch m;
    while (std::getline(in, line)) {
        if (line.rfind("paths:", 0) == 0) {
            in_paths = true;
            continue;
        }
        if (in_paths && !line.empty() && line[0] != ' ' && line[0] != '#') {
            in_paths = false;
        }
        if (!in_paths) {
            continue;
        }
        if (std::regex_match(line, m, path_line)) {
            path = m[1];
        } else if (std::regex_match(line, m, method_line)) {
            std::string method = m[1];
            std::transform(method.begin(), method.end(), method.begin(), ::toupper);
            described.insert({method, path});
        }
    }
    for (const Route& route : Routes()) {
        served.insert({route.method, route.path});
    }
    EXPECT_EQ(described, served);
}

} // namespace
} // namespace vrel::serve
