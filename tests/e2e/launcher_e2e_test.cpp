// The launcher under Wine: the raw command line reaching the child, exit codes, standard
// handles, the job, and the launcher's own fatal ends.
#include "e2e/e2e_fixture.h"

namespace {

using Launcher = EndToEnd;

const wine::Environment venv = {{"VIRTUAL_ENV", "C:\\venv"}};

TEST_F(Launcher, VirtualEnvRoadPassesTheUserArgumentsAsTyped) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    wine::Result r = wine::run("\"C:\\d\\tool.exe\"   a  \"b c\" ", venv);
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_EQ(r.out, ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk a  \"b c\" "));
    EXPECT_EQ(r.err, "");
}

TEST_F(Launcher, ALauncherDirectoryWithABlankQuotesTheScriptPath) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    install_launcher("C:\\my dir\\tool.exe");
    wine::write_file("C:\\my dir\\tool-script.zk", "");
    wine::Result r = wine::run("\"C:\\my dir\\tool.exe\" x", venv);
    EXPECT_EQ(r.out, ran("C:\\venv\\Scripts\\zelkor.exe \"C:\\my dir\\tool-script.zk\" x"));
}

TEST_F(Launcher, ExitCodesPassThroughWhole) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    for (const char* code : {"0", "7", "103", "0xC0000005"}) {
        wine::Environment env = venv;
        env.emplace_back("ZKSTUB_EXIT", code);
        EXPECT_EQ(wine::run("C:\\d\\tool.exe", env).exit_code, std::stoul(code, nullptr, 0)) << code;
    }
}

TEST_F(Launcher, StandardInputAndOutputAreInherited) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    wine::Environment env = venv;
    env.emplace_back("ZKSTUB_ECHO", "1");
    wine::Result r = wine::run("C:\\d\\tool.exe", env, "hello there\n");
    EXPECT_EQ(r.out, ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk ") + "stdin: hello there\n");
}

TEST_F(Launcher, TraceGoesToStandardErrorAsUtf8) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    wine::Environment env = venv;
    env.emplace_back("ZKLAUNCH_DEBUG", "1");
    wine::Result r = wine::run("C:\\d\\tool.exe \xC3\xA9t\xC3\xA9", env);
    EXPECT_NE(r.err.find("launcher build: 64bit\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Called with command line: \xC3\xA9t\xC3\xA9\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("child process exit code: 0\n"), std::string::npos) << r.err;
}

TEST_F(Launcher, MissingScriptIs105) {
    install_launcher("C:\\e\\other.exe");
    wine::Result r = wine::run("C:\\e\\other.exe", venv);
    EXPECT_EQ(r.exit_code, 105u);
    EXPECT_EQ(r.err, "Script file 'C:\\e\\other-script.zk' is not present.\n");
}

TEST_F(Launcher, NoInterpreterIs103) {
    wine::Result r = wine::run("C:\\d\\tool.exe", {});
    EXPECT_EQ(r.exit_code, 103u);
    EXPECT_EQ(r.err, "Can't find a default Zelkor.\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(Launcher, HelpTextComesBeforeTheChildsOutput) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    wine::Result r = wine::run("C:\\d\\tool.exe --help", venv);
    EXPECT_EQ(r.out,
              "Zelkor Launcher for Windows (Tavrin/Plennet variant) Version 0.1\n\n"
              "usage: C:\\d\\tool.exe [ launcher-arguments ] [ zelkor-arguments ] script [ script-arguments ]\n\n"
              "Launcher arguments:\n\n-2     : Launch the latest Zelkor 2.x version\n-3     : Launch the latest "
              "Zelkor 3.x version\n-X.Y   : Launch the specified Zelkor version\n"
              "\n\nThe following help text is from Zelkor:\n\n" +
                  ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk --help"));
}

TEST_F(Launcher, TheChildEndsWhenTheLauncherIsTerminated) {
    install_stub("C:\\venv\\Scripts\\zelkor.exe");
    wine::Environment env = venv;
    env.emplace_back("ZKSTUB_SLEEP_MS", "2500");
    env.emplace_back("ZKSTUB_MARKER", "C:\\zktest\\outlived");
    // Control: left alone, the stub outlives its sleep and leaves the marker.
    wine::run("C:\\d\\tool.exe", env);
    ASSERT_TRUE(wine::exists("C:\\zktest\\outlived"));
    std::remove(wine::unix_path("C:\\zktest\\outlived").c_str());

    wine::Result r = wine::run("C:\\d\\tool.exe", env, "",
                               {{"ZKSPAWN_KILL_AFTER_MS", "1000"}, {"ZKSPAWN_LINGER_MS", "3000"}});
    EXPECT_EQ(r.out, ran("C:\\venv\\Scripts\\zelkor.exe C:\\d\\tool-script.zk ")) << "the stub had started";
    EXPECT_FALSE(wine::exists("C:\\zktest\\outlived"));
}

}  // namespace
