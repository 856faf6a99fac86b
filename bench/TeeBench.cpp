// How much one status-line refresh and one hook run cost: runs tarnel-tee N times with a
// realistic status document, from a process whose command line is "claude"
// (so the tee finds and records it), alternating with a program that only
// reads its input. Prints the time per run of both, their ratio and the
// tee's peak memory.
//
// Usage: TeeBench [runs]   (default 200; the programs are found beside this one)

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Sample {
    double ms;
    long maxRSSKiB;
};

std::string statusDocument() {
    // About 1 KB, in the form Claude Code sends.
    long resets = static_cast<long>(std::time(nullptr)) + 3 * 3600;
    char text[2048];
    std::snprintf(
        text, sizeof text,
        R"({"session_id":"12f8c8e2-9ad7-4bc5-bfe5-8e7de9c49ccf","transcript_path":"/home/user/.claude/projects/-home-user-project/12f8c8e2-9ad7-4bc5-bfe5-8e7de9c49ccf.jsonl","cwd":"/home/user/project","effort":{"level":"medium"},"model":{"id":"claude-opus-5-5","display_name":"Opus 5.5"},"workspace":{"current_dir":"/home/user/project","project_dir":"/home/user/project","added_dirs":[]},"version":"2.1.328","output_style":{"name":"default"},"cost":{"total_cost_usd":1.37,"total_duration_ms":23537,"total_api_duration_ms":0,"total_lines_added":0,"total_lines_removed":0},"context_window":{"total_input_tokens":0,"total_output_tokens":0,"context_window_size":1000000,"current_usage":null,"used_percentage":null,"remaining_percentage":null},"exceeds_200k_tokens":false,"fast_mode":false,"thinking":{"enabled":true},"rate_limits":{"five_hour":{"used_percentage":41.5,"resets_at":%ld},"seven_day":{"used_percentage":12,"resets_at":1797206400}}})",
        resets);
    return text;
}

Sample runOnce(const std::string& program, const std::string& inputPath, const char* flag = nullptr) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(flag), nullptr};
    auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "cannot run %s\n", program.c_str());
        std::exit(1);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    auto end = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&actions);
    return {std::chrono::duration<double, std::milli>(end - start).count(), usage.ru_maxrss};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    fs::path self = fs::canonical("/proc/self/exe");
    // Run again under the name claude, so the tee's walk stops at this process.
    if (std::string(argv[0]) != "claude") {
        std::vector<char*> args{const_cast<char*>("claude")};
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(self.c_str(), args.data());
        std::perror("execv");
        return 1;
    }
    // TeeBench [RUNS [TEE]]: TEE (another build's tee, say) is measured beside this build's, in the same run.
    int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    fs::path binDir = self.parent_path().parent_path();
    std::string tee = (binDir / "Tracker" / "tarnel-tee").string();
    std::string other = argc > 2 ? argv[2] : "";
    std::string floor = (self.parent_path() / "MinimalReader").string();

    char stateTemplate[] = "/tmp/tarnel-teebench-XXXXXX";
    if (!mkdtemp(stateTemplate)) return 1;
    std::string state = stateTemplate;
    setenv("VAZ_ADODIVO_STATE_DIR", state.c_str(), 1);
    unsetenv("LST_TEE_DEBUG");
    std::string input = state + "/status.json";
    std::string document = statusDocument();
    FILE* file = std::fopen(input.c_str(), "w");
    std::fwrite(document.data(), 1, document.size(), file);
    std::fclose(file);

    // A hook's document: the same session after a tool ran (the phase is read, changed and written).
    std::string hookInput = state + "/hook.json";
    file = std::fopen(hookInput.c_str(), "w");
    std::fputs(R"({"session_id":"12f8c8e2-9ad7-4bc5-bfe5-8e7de9c49ccf","transcript_path":"/home/user/t.jsonl",)"
               R"("cwd":"/home/user/project","hook_event_name":"PostToolUse","tool_name":"Bash",)"
               R"("tool_input":{"command":"ls"},"tool_response":{"stdout":"a\nb\n","stderr":""}})",
               file);
    std::fclose(file);

    // Warm the page cache and the state directory first.
    for (int i = 0; i < 5; ++i) {
        runOnce(tee, input);
        runOnce(tee, hookInput, "--hook");
        runOnce(floor, input);
    }
    std::vector<double> teeTimes, hookTimes, floorTimes, otherTimes;
    long teePeak = 0, hookPeak = 0, floorPeak = 0;
    for (int i = 0; i < runs; ++i) {
        Sample t = runOnce(tee, input);
        Sample h = runOnce(tee, hookInput, "--hook");
        Sample f = runOnce(floor, input);
        if (!other.empty()) otherTimes.push_back(runOnce(other, input).ms);
        teeTimes.push_back(t.ms);
        hookTimes.push_back(h.ms);
        floorTimes.push_back(f.ms);
        teePeak = std::max(teePeak, t.maxRSSKiB);
        hookPeak = std::max(hookPeak, h.maxRSSKiB);
        floorPeak = std::max(floorPeak, f.maxRSSKiB);
    }
    bool recorded = fs::exists(state + "/sessions/12f8c8e2-9ad7-4bc5-bfe5-8e7de9c49ccf.json") &&
                    fs::exists(state + "/sessions/12f8c8e2-9ad7-4bc5-bfe5-8e7de9c49ccf.phase");
    fs::remove_all(state);

    double teeMedian = median(teeTimes), floorMedian = median(floorTimes);
    std::printf("runs: %d (status document %zu bytes, record written: %s)\n", runs, document.size(),
                recorded ? "yes" : "NO");
    std::printf("tarnel-tee     median %.3f ms per run, peak RSS %.2f MiB\n", teeMedian, teePeak / 1024.0);
    std::printf("tarnel-tee --hook median %.3f ms per run, peak RSS %.2f MiB\n", median(hookTimes), hookPeak / 1024.0);
    std::printf("minimal reader median %.3f ms per run, peak RSS %.2f MiB\n", floorMedian, floorPeak / 1024.0);
    std::printf("ratio tee/minimal: %.2f (target <= 1.5), tee peak RSS target <= 6 MiB\n", teeMedian / floorMedian);
    if (!other.empty()) {
        double otherMedian = median(otherTimes);
        std::printf("%s median %.3f ms per run, ratio to minimal %.2f; this build's tee / it: %.2f\n", other.c_str(),
                    otherMedian, otherMedian / floorMedian, teeMedian / otherMedian);
    }
    return recorded ? 0 : 1;
}
