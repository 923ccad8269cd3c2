// Installing as a user would: cmake --install into a temporary prefix, which holds the play
// files, the udev rule, the menu entry and its metadata, the manual page and the package's
// documents; then the installed program, started offscreen on the simulated unit, shows the
// version of its own file and plays the play files of its prefix.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "tests/mail/SmtpTestServer.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/CVersionInfo.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Install, InstalledProgramUsesItsOwnFileAndPrefix) {
    const std::string source = std::getenv("QPG_SOURCE_DIR");
    ScopedTempDir prefix;
    const auto [installed, log] =
        runCommand("cmake --install '" + std::string(std::getenv("QPG_BINARY_DIR")) + "' --prefix '" +
                   prefix.path() + "' 2>&1");
    ASSERT_EQ(installed, 0) << log;

    const std::string share = prefix.path() + "/share/";
    for (const char* name : {"VoicePlayback.wav", "MusicPlayback.wav", "FE_Play.wav", "Delay_Play.wav"}) {
        const std::string bytes = readFileBytes(share + "quenlor-probe-guide/WaveFiles/" + name);
        EXPECT_FALSE(bytes.empty()) << name;
        EXPECT_TRUE(bytes == readFileBytes(source + "/resources/WaveFiles/" + name)) << name;
    }
    const std::string rule = readFileBytes(prefix.path() + "/lib/udev/rules.d/70-quenlor-speakerphone.rules");
    for (const char* vendor : {"0556", "3b59", "2e71"}) {
        EXPECT_TRUE(contains(rule, "ATTRS{idVendor}==\"" + std::string(vendor) + "\", TAG+=\"uaccess\""))
            << vendor;
    }
    const std::string entry = readFileBytes(share + "applications/com.kestu.QuenlorProbeGuide.desktop");
    for (const char* line : {"[Desktop Entry]\n", "\nType=Application\n", "\nExec=quenlor-probe-guide\n",
                             "\nIcon=quenlor-probe-guide\n"}) {
        EXPECT_TRUE(contains(entry, line)) << line;
    }
    EXPECT_TRUE(
        std::filesystem::is_regular_file(share + "icons/hicolor/scalable/apps/quenlor-probe-guide.svg"));
    // The manual page and the changelog compressed as gzip -9n makes them (no name, no time,
    // best compression), the copyright in the machine-readable format, and the metadata under
    // the menu entry's id.
    const std::string gzip9n("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02", 9);
    const struct {
        const char* path;
        std::string start;
        std::vector<std::string> parts;  // of the text, uncompressed
    } documents[] = {
        {"man/man1/quenlor-probe-guide.1.gz",
         gzip9n,
         {".SH OPTIONS", ".SH FILES", ".SH ENVIRONMENT", ".SH UDEV RULE"}},
        {"doc/quenlor-probe-guide/changelog.gz",
         gzip9n,
         {"quenlor-probe-guide (", ") unstable; urgency=medium\n"}},
        {"doc/quenlor-probe-guide/copyright",
         "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n",
         {"\nFiles: *\n", "\nLicense: "}},
        {"metainfo/com.kestu.QuenlorProbeGuide.metainfo.xml",
         "<?xml",
         {"<id>com.kestu.QuenlorProbeGuide</id>",
          "<launchable type=\"desktop-id\">com.kestu.QuenlorProbeGuide.desktop</launchable>"}},
    };
    for (const auto& document : documents) {
        const std::string path = share + document.path;
        const std::string bytes = readFileBytes(path);
        EXPECT_EQ(bytes.substr(0, document.start.size()), document.start) << document.path;
        const std::string text =
            document.start == gzip9n ? runCommand("gzip -dc '" + path + "'").second : bytes;
        for (const auto& part : document.parts) {
            EXPECT_TRUE(contains(text, part)) << document.path << ": " << part;
        }
    }

    // Give the installed file a version of its own, so that what the program shows can only
    // come from that file: every digit of its fixed version becomes 7.
    const std::string program = prefix.path() + "/bin/quenlor-probe-guide";
    CVersionInfo info;
    std::string version = info.Load(program.c_str());
    version = version.substr(1, version.find(' ', 1) - 1);
    ASSERT_FALSE(version.empty());
    std::string bytes = readFileBytes(program);
    const std::size_t at = bytes.find(std::string("\\\0", 2) + version + '\0');
    ASSERT_NE(at, std::string::npos);
    std::string patched = version;
    for (char& c : patched) {
        c = c == '.' ? '.' : '7';
    }
    bytes.replace(at + 2, version.size(), patched);
    ASSERT_TRUE(writeFileBytes(program, bytes));

    ScopedTempDir home;
    ScopedEnv env[] = {{"XDG_CONFIG_HOME", home.path() + "/config"},
                       {"XDG_DATA_HOME", home.path() + "/data"},
                       {"XDG_RUNTIME_DIR", home.path()},
                       {"QT_QPA_PLATFORM", "offscreen"},
                       {"QT_PLUGIN_PATH", QPG_INSTALL_PROBE_PLUGINS},
                       {"QT_QPA_GENERIC_PLUGINS", "qpginstallprobe"}};
    const auto [status, shown] = runCommand("timeout 60 '" + program + "' --simulate");
    EXPECT_EQ(status, 0) << shown;
    EXPECT_TRUE(contains(shown, "ABOUT Quenlor's Probe Guide for Linux Version " + patched + " \n")) << shown;
    const std::string playFile =
        std::filesystem::canonical(share + "quenlor-probe-guide/WaveFiles/VoicePlayback.wav").string();
    EXPECT_TRUE(contains(shown, "PLAYFILE " + playFile + "\n")) << shown;
    EXPECT_FALSE(contains(shown, "BOX ")) << shown;
}

}  // namespace
