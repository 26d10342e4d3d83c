// The installed tree: this build put through `cmake --install` into a temporary DESTDIR, as the
// package lays it out under /usr, and each file read back by the tool a desktop or a person
// would read it with: desktop-file-validate, appstreamcli, man, bash completion, Qt's image
// readers.

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "res/icon.h"
#include "tests/support/child.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kToolTimeoutMs = 60000;
// The desktop knows the program by this name; changing it orphans users' menu entries.
const std::string kAppId = "org.quorvane.Quorvane";
const int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
const char* const kPrograms[] = {"quorvane", "quorvane-cli", "quorvane-target"};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct ToolRun {
    int exitCode = -2;
    std::string out;
    std::string err;
};

ToolRun RunTool(const std::vector<std::string>& argv, const TempDir& scratch,
                const std::vector<std::pair<std::string, std::string>>& env = {}) {
    Launch launch;
    launch.argv = argv;
    launch.env = env;
    launch.out = Stdio::File(scratch.File("stdout"));
    launch.err = Stdio::File(scratch.File("stderr"));
    Child child;
    ToolRun run;
    if (!child.Start(launch)) return run;
    run.exitCode = child.Wait(kToolTimeoutMs);
    run.out = ReadWholeFile(scratch.File("stdout"));
    run.err = ReadWholeFile(scratch.File("stderr"));
    return run;
}

std::string Gunzip(const std::string& path) {
    std::string text;
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) return text;
    char chunk[4096];
    int n = 0;
    while ((n = gzread(file, chunk, sizeof chunk)) > 0)
        text.append(chunk, size_t(n));
    gzclose(file);
    return text;
}

// One install shared by the tests of this process; each test only reads it.
class InstalledTree : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tree_ = new TempDir;
        scratch_ = new TempDir;
        install_ = RunTool({QUORVANE_CMAKE, "--install", QUORVANE_BUILD_DIR, "--prefix", "/usr"},
                           *scratch_, {{"DESTDIR", tree_->Path()}});
    }
    static void TearDownTestSuite() {
        delete tree_;
        delete scratch_;
    }
    void SetUp() override {
        ASSERT_EQ(install_.exitCode, 0) << install_.out << install_.err;
        ASSERT_TRUE(fs::is_directory(Root()));
    }

    static std::string Root() { return tree_->Path() + "/usr"; }
    static std::string Path(const std::string& relative) { return Root() + "/" + relative; }

    static TempDir* tree_;
    static TempDir* scratch_;
    static ToolRun install_;
    TempDir scratch;
};

TempDir* InstalledTree::tree_ = nullptr;
TempDir* InstalledTree::scratch_ = nullptr;
ToolRun InstalledTree::install_;

// Exactly these files, programs executable by all and everything else readable by all, and no
// file or folder writable by anyone but its owner.
TEST_F(InstalledTree, HoldsExactlyTheExpectedFilesWithTheirModes) {
    std::map<std::string, fs::perms> expected;
    const fs::perms program = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec;
    const fs::perms data = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::others_read;
    for (const char* name : kPrograms)
        expected["bin/" + std::string(name)] = program;
    for (const char* page : kPrograms)
        expected["share/man/man1/" + std::string(page) + ".1.gz"] = data;
    for (const int size : kIconSizes) {
        const std::string square = std::to_string(size) + "x" + std::to_string(size);
        expected["share/icons/hicolor/" + square + "/apps/quorvane.png"] = data;
    }
    expected["share/applications/" + kAppId + ".desktop"] = data;
    expected["share/metainfo/" + kAppId + ".metainfo.xml"] = data;
    expected["share/bash-completion/completions/quorvane-cli"] = data;
    expected["share/doc/quorvane/copyright"] = data;
    expected["share/doc/quorvane/changelog.gz"] = data;

    std::map<std::string, fs::perms> found;
    for (const auto& entry : fs::recursive_directory_iterator(Root())) {
        const fs::file_status status = fs::symlink_status(entry.path());
        const std::string relative = fs::relative(entry.path(), Root()).string();
        if (status.type() == fs::file_type::directory) {
            EXPECT_EQ(status.permissions(), program) << relative;
            continue;
        }
        EXPECT_EQ(status.type(), fs::file_type::regular) << relative;
        found[relative] = status.permissions();
    }
    EXPECT_EQ(found, expected);

    // The changelog's first entry is this version.
    EXPECT_TRUE(Gunzip(Path("share/doc/quorvane/changelog.gz"))
                    .starts_with("quorvane (" QUORVANE_VERSION ") "));

    // The installed programs are the ones this build made.
    const ToolRun version = RunTool({Path("bin/quorvane-cli"), "--version"}, scratch);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "quorvane-cli " QUORVANE_VERSION "\n");
    EXPECT_EQ(RunTool({Path("bin/quorvane-target"), "--help"}, scratch).exitCode, 0);
}

TEST_F(InstalledTree, DesktopEntryLaunchesTheInstalledProgramAndValidates) {
    const std::string entry = Path("share/applications/" + kAppId + ".desktop");
    const std::string text = ReadWholeFile(entry);
    ASSERT_TRUE(text.starts_with("[Desktop Entry]\n")) << text;
    std::map<std::string, std::string> keys;
    static const std::regex line("^([A-Za-z]+)=(.*)$");
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::smatch match;
        const std::string row = text.substr(start, end - start);
        if (std::regex_match(row, match, line)) keys[match[1]] = match[2];
    }
    EXPECT_EQ(keys["Type"], "Application");
    EXPECT_EQ(keys["Name"], "Quorvane");
    EXPECT_EQ(keys["Terminal"], "false");
    // What the menu runs and shows is in the tree.
    EXPECT_TRUE(fs::exists(Path("bin/" + keys["Exec"]))) << keys["Exec"];
    EXPECT_TRUE(fs::exists(Path("share/icons/hicolor/48x48/apps/" + keys["Icon"] + ".png")))
        << keys["Icon"];

    const std::string validate = FindProgram("desktop-file-validate");
    if (validate.empty()) GTEST_SKIP() << "desktop-file-validate is not installed";
    const ToolRun run = RunTool({validate, entry}, scratch);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out + run.err, "");  // not even a hint
}

TEST_F(InstalledTree, AppStreamMetadataNamesThisReleaseAndValidates) {
    const std::string path = Path("share/metainfo/" + kAppId + ".metainfo.xml");
    const std::string text = ReadWholeFile(path);
    EXPECT_TRUE(Contains(text, "<id>" + kAppId + "</id>")) << text;
    EXPECT_TRUE(Contains(text, "<launchable type=\"desktop-id\">" + kAppId + ".desktop<"));
    EXPECT_TRUE(Contains(text, "<release version=\"" QUORVANE_VERSION "\" date=\"")) << text;
    EXPECT_TRUE(Contains(text, "<icon type=\"stock\">quorvane</icon>"));

    const std::string appstream = FindProgram("appstreamcli");
    if (appstream.empty()) GTEST_SKIP() << "appstreamcli is not installed";
    const ToolRun run = RunTool({appstream, "validate", "--no-net", path}, scratch);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_FALSE(Contains(run.out, "W: ")) << run.out;
    EXPECT_FALSE(Contains(run.out, "E: ")) << run.out;
}

// Each page names this version, mentions every option the program's --help offers, and renders
// without a single warning from groff.
TEST_F(InstalledTree, ManPagesCoverEveryOptionAndRenderCleanly) {
    const std::string man = FindProgram("man");
    static const std::regex option("--[a-z][a-z-]*");
    for (const char* program : kPrograms) {
        SCOPED_TRACE(program);
        const std::string page = Path("share/man/man1/" + std::string(program) + ".1.gz");
        std::string source = Gunzip(page);
        ASSERT_FALSE(source.empty());
        std::string upper = program;
        for (char& c : upper)
            c = char(std::toupper(c));
        EXPECT_TRUE(source.starts_with(".TH " + upper + " 1 \"")) << source.substr(0, 80);
        EXPECT_TRUE(Contains(source, "\"quorvane " QUORVANE_VERSION "\""));
        // Options are written \-\- in roff; read them as a person sees them.
        source = std::regex_replace(source, std::regex(R"(\\-)"), "-");

        if (std::string(program) != "quorvane") {
            const ToolRun help = RunTool({Path("bin/" + std::string(program)), "--help"}, scratch);
            ASSERT_EQ(help.exitCode, 0);
            std::set<std::string> options;
            for (std::sregex_iterator it(help.out.begin(), help.out.end(), option), end; it != end;
                 ++it) {
                options.insert(it->str());
            }
            EXPECT_GT(options.size(), 3u) << help.out;
            for (const std::string& name : options) {
                EXPECT_TRUE(Contains(source, name)) << name << " is not in the page";
            }
        }

        if (man.empty()) continue;
        const ToolRun shown = RunTool(
            {man, "--warnings", "-l", page}, scratch,
            {{"MANWIDTH", "80"}, {"LC_ALL", "C.UTF-8"}, {"MANPAGER", "cat"}, {"PAGER", "cat"}});
        EXPECT_EQ(shown.exitCode, 0);
        EXPECT_EQ(shown.err, "");
        EXPECT_TRUE(Contains(shown.out, "NAME")) << shown.out;
        // The NAME line, however the justification spaces it.
        EXPECT_TRUE(
            std::regex_search(shown.out, std::regex("\n +" + std::string(program) + " +- ")))
            << shown.out;
    }
}

// The PNGs against the resource as Qt's own XPM reader sees it: whole multiples repeat each
// pixel exactly, 16 x 16 averages 2 x 2 blocks, and every size keeps the transparent corners.
TEST_F(InstalledTree, IconsAreTheWindowIconAtEachSize) {
    const QImage source = QImage(FindIconXpm(kIdrMainFrame)).convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(source.size(), QSize(32, 32));
    for (const int size : kIconSizes) {
        SCOPED_TRACE(size);
        const std::string square = std::to_string(size) + "x" + std::to_string(size);
        const QImage image = QImage(QString::fromStdString(Path("share/icons/hicolor/" + square +
                                                                "/apps/quorvane.png")),
                                    "PNG")
                                 .convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(image.size(), QSize(size, size));
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(image.pixel(size - 1, size - 1)), 0);
        if (size % 32 == 0) {
            const int scale = size / 32;
            for (int y = 0; y < size; ++y) {
                for (int x = 0; x < size; ++x) {
                    const QRgb want = source.pixel(x / scale, y / scale);
                    const QRgb got = image.pixel(x, y);
                    // A transparent pixel's colour is not part of the picture.
                    if (qAlpha(want) == 0) {
                        ASSERT_EQ(qAlpha(got), 0) << x << "," << y;
                    } else {
                        ASSERT_EQ(got, want) << x << "," << y;
                    }
                }
            }
        }
    }
    const QImage small =
        QImage(QString::fromStdString(Path("share/icons/hicolor/16x16/apps/quorvane.png")), "PNG")
            .convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            int alpha = 0;
            int red = 0;
            for (int dy = 0; dy < 2; ++dy) {
                for (int dx = 0; dx < 2; ++dx) {
                    const QRgb p = source.pixel(2 * x + dx, 2 * y + dy);
                    alpha += qAlpha(p);
                    red += qRed(p) * qAlpha(p);
                }
            }
            const QRgb got = small.pixel(x, y);
            EXPECT_NEAR(qAlpha(got), alpha / 4.0, 1.0) << x << "," << y;
            if (alpha > 0) {
                EXPECT_NEAR(qRed(got), double(red) / alpha, 1.0) << x << "," << y;
            }
        }
    }
}

// Completion as bash runs it, with the words split the way readline splits them.
TEST_F(InstalledTree, BashCompletionOffersOptionsAndPortNames) {
    const std::string framework = "/usr/share/bash-completion/bash_completion";
    const std::string bash = FindProgram("bash");
    if (bash.empty() || !fs::exists(framework)) GTEST_SKIP() << "bash-completion is not installed";
    const std::string script = "source " + framework + "\nsource " +
                               Path("share/bash-completion/completions/quorvane-cli") + R"(
complete_words() {
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"; COMP_LINE=${COMP_LINE// = /=}
    COMP_POINT=${#COMP_LINE}; COMPREPLY=()
    _quorvane_cli quorvane-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}" 2>/dev/null
    echo "${COMPREPLY[*]}"
}
complete -p quorvane-cli
complete_words quorvane-cli --
complete_words quorvane-cli --port CO
complete_words quorvane-cli --unmap COM1
complete_words quorvane-cli --map COM1
complete_words quorvane-cli --port = COM2
)";
    const ToolRun run = RunTool({bash, "--norc", "--noprofile", "-c", script}, scratch);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> expected = {
        "complete -F _quorvane_cli quorvane-cli",
        "--port --expect-identity --check --json --list-ports --map --unmap --version --help",
        "COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 COM10 COM11 COM12",
        "COM1 COM10 COM11 COM12",
        "COM1= COM10= COM11= COM12=",
        "COM2",
    };
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = run.out.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(run.out.substr(start, end - start));
    }
    EXPECT_EQ(lines, expected) << run.out;
}

}  // namespace
