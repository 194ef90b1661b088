// The subsystems lie in layers, and a file may include only what lies in its
// own layer or below: platform, link, session, acquisition, files, analysis,
// publish, branding, shell, then the program's entry. The simulated sensor
// stands apart and includes nothing of the program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kLayers = {"platform", "link",    "session",  "acquisition", "files",
                                          "analysis", "publish", "branding", "shell"};

int RankOf(const std::string &folder) {
    for (std::size_t i = 0; i < kLayers.size(); ++i)
        if (kLayers[i] == folder) return static_cast<int>(i);
    if (folder == ".") return static_cast<int>(kLayers.size());  // main.cpp
    return -1;
}

bool IsSource(const fs::path &p) { return p.extension() == ".cpp" || p.extension() == ".h"; }

// Every file of the layers above the run-time that includes a header of Qt
// or of the plotting library, with the line: only platform/, the simulated
// sensor and the program's entry may.
std::vector<std::string> QtIncludesAbovePlatform(const fs::path &root) {
    const std::regex qt(R"re(^\s*#\s*include\s*[<"](Q[A-Za-z]*(/\w+)?(\.h)?|q\w+\.h)[>"])re");
    std::vector<std::string> found;
    for (const std::string &folder : kLayers) {
        if (folder == "platform" || !fs::exists(root / folder)) continue;
        for (const auto &entry : fs::recursive_directory_iterator(root / folder)) {
            if (!IsSource(entry.path())) continue;
            std::ifstream in(entry.path());
            std::string line;
            while (std::getline(in, line))
                if (std::regex_search(line, qt))
                    found.push_back(fs::relative(entry.path(), root).string() + ": " + line);
        }
    }
    return found;
}

}  // namespace

// A Qt include planted in link/ is found, so the check of the real tree
// below proves something.
TEST(Layers, NothingAboveTheRunTimeIncludesQt) {
    const fs::path planted =
        fs::temp_directory_path() / ("kvex_layers_" + std::to_string(getpid()));
    fs::create_directories(planted / "link");
    fs::create_directories(planted / "platform");
    std::ofstream(planted / "link" / "frame.cpp") << "#include \"frame.h\"\n#include <cstdio>\n";
    std::ofstream(planted / "link" / "exchange.h")
        << "#pragma once\n  #  include <QtCore/QTimer>\n";
    std::ofstream(planted / "link" / "com232.cpp") << "#include <QString>\n";
    std::ofstream(planted / "platform" / "rs232.cpp") << "#include <QSocketNotifier>\n";
    const std::vector<std::string> found = QtIncludesAbovePlatform(planted);
    fs::remove_all(planted);
    EXPECT_EQ(found.size(), 2u);
    for (const std::string &f : found) EXPECT_EQ(f.rfind("link/", 0), 0u) << f;

    const std::vector<std::string> real = QtIncludesAbovePlatform(KVEX_SOURCE_DIR);
    EXPECT_TRUE(real.empty()) << real.front();
}

TEST(Layers, NoIncludePointsUpwardAndTheSensorIncludesNothingOfTheProgram) {
    const fs::path root = KVEX_SOURCE_DIR;
    std::map<std::string, std::string> folderOfHeader;
    std::vector<std::pair<fs::path, std::string>> files;  // file and its folder
    for (const std::string &folder : kLayers) {
        if (!fs::exists(root / folder)) continue;
        for (const auto &entry : fs::directory_iterator(root / folder)) {
            if (!IsSource(entry.path())) continue;
            files.emplace_back(entry.path(), folder);
            if (entry.path().extension() == ".h")
                folderOfHeader[entry.path().filename().string()] = folder;
        }
    }
    for (const auto &entry : fs::directory_iterator(root / "sim")) {
        if (!IsSource(entry.path())) continue;
        files.emplace_back(entry.path(), "sim");
        if (entry.path().extension() == ".h")
            folderOfHeader[entry.path().filename().string()] = "sim";
    }
    files.emplace_back(root / "main.cpp", ".");
    ASSERT_GT(files.size(), 40u);

    const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
    int looked = 0;
    for (const auto &[path, folder] : files) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            std::smatch m;
            if (!std::regex_search(line, m, include)) continue;
            const auto it = folderOfHeader.find(fs::path(m[1].str()).filename().string());
            if (it == folderOfHeader.end()) continue;  // a header of no layer (Qt's, QCustomPlot)
            ++looked;
            const std::string &to = it->second;
            if (folder == "sim") {
                EXPECT_EQ(to, "sim") << path << " includes " << m[1];
            } else if (to == "sim") {
                EXPECT_EQ(folder, ".") << path << " includes the sensor's " << m[1];
            } else {
                EXPECT_LE(RankOf(to), RankOf(folder))
                    << path << " includes " << m[1] << " from " << to << ", above " << folder;
            }
        }
    }
    EXPECT_GT(looked, 100);
}
