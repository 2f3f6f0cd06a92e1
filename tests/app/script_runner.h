#pragma once
// Runs the built program from a shell script in a scratch folder, for tests
// that need redirections, FIFOs, links and signals around it.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

struct ScriptResult {
    int exitCode = -1;    // the program's own exit code
    long elapsedMs = -1;  // from the stop signal (or the start) to the end
    std::string out;      // the program's standard output
};

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// "$EXE" names the program, `now` prints a millisecond clock, `await PID`
// waits up to 20 s for a program started in the background (killing it
// then) and leaves its status in $rc; the script leaves "rc ms" in the file
// "result" and the program's output in "stdout.bin".
inline ScriptResult RunScript(const std::filesystem::path& dir, const std::string& exe, const std::string& body) {
    const std::filesystem::path script = dir / "run.sh";
    std::ofstream(script) << "cd '" << dir.string() << "' || exit 1\n"
                          << "export TMPDIR='" << dir.string() << "'\n"
                          << "unset TRELVAN_CHARSET\n"
                          << "EXE='" << exe << "'\n"
                          << "now() { echo $(( $(date +%s%N) / 1000000 )); }\n"
                          << "await() {\n"
                          << "  i=0\n"
                          << "  while [ $i -lt 200 ]; do\n"
                          << "    state=$(cut -d' ' -f3 /proc/$1/stat 2>/dev/null)\n"
                          << "    if [ -z \"$state\" ] || [ \"$state\" = Z ]; then break; fi\n"
                          << "    sleep 0.1; i=$((i + 1))\n"
                          << "  done\n"
                          << "  kill -9 $1 2>/dev/null; wait $1; rc=$?\n"
                          << "}\n"
                          << body;
    std::system(("sh '" + script.string() + "'").c_str());
    ScriptResult result;
    std::ifstream(dir / "result") >> result.exitCode >> result.elapsedMs;
    result.out = ReadWholeFile(dir / "stdout.bin");
    return result;
}
