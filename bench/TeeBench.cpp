// What one run of tarnel-tee costs against the floor of starting any program here: the CPU time (user and
// system, as wait4 reports it) of a static C program that only reads its input, of the tee as the status line
// and of the tee as a hook, run in turn from a process named claude (so the tee finds and records it). A static
// C program making only the system calls of a status-line run shows how much of the tee's cost is its own code.
// Another build's tee, when given, runs in the same turns: a before and after on one machine at one time.
//
// Usage: TeeBench [runs [OTHER-TEE]]   (default 300; the programs are found beside this one)

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

const char* const sessionID = "12f8c8e2-9ad7-4bc5-bfe5-8e7de9c49ccf";

std::string statusDocument() {
    // About 1 KB, in the form Claude Code sends.
    long resets = static_cast<long>(std::time(nullptr)) + 3 * 3600;
    char text[2048];
    std::snprintf(
        text, sizeof text,
        R"({"session_id":"%s","transcript_path":"/home/user/.claude/projects/-home-user-project/%s.jsonl","cwd":"/home/user/project","effort":{"level":"medium"},"model":{"id":"claude-opus-5-5","display_name":"Opus 5.5"},"workspace":{"current_dir":"/home/user/project","project_dir":"/home/user/project","added_dirs":[]},"version":"2.1.328","output_style":{"name":"default"},"cost":{"total_cost_usd":1.37,"total_duration_ms":23537,"total_api_duration_ms":0,"total_lines_added":0,"total_lines_removed":0},"context_window":{"total_input_tokens":0,"total_output_tokens":0,"context_window_size":1000000,"current_usage":null,"used_percentage":null,"remaining_percentage":null},"exceeds_200k_tokens":false,"fast_mode":false,"thinking":{"enabled":true},"rate_limits":{"five_hour":{"used_percentage":41.5,"resets_at":%ld},"seven_day":{"used_percentage":12,"resets_at":1797206400}}})",
        sessionID, sessionID, resets);
    return text;
}

// A hook's document as Claude Code sends it.
std::string hookDocument(const char* event) {
    return std::string(R"({"session_id":")") + sessionID +
           R"(","transcript_path":"/home/user/t.jsonl","cwd":"/home/user/project","hook_event_name":")" + event +
           R"(","permission_mode":"default"})";
}

// PostToolBatch as a reply that read files leaves it: Claude Code hands the hook each tool's input and whole
// result, here ten results of about 10 KB.
std::string toolBatchDocument() {
    std::string calls;
    for (int call = 0; call < 10; ++call) {
        std::string content;
        for (int line = 0; line < 175; ++line) {
            content += "    const std::string text = render(line, column); // " + std::to_string(line) + "\\n";
        }
        calls += std::string(call ? "," : "") +
                 R"({"tool_name":"Read","tool_input":{"file_path":"/home/user/project/src/)" + std::to_string(call) +
                 R"(.cpp"},"tool_use_id":"toolu_0)" + std::to_string(call) +
                 R"(","tool_response":{"type":"text","file":{"content":")" + content + R"("}}})";
    }
    return std::string(R"({"session_id":")") + sessionID +
           R"(","transcript_path":"/home/user/t.jsonl","cwd":"/home/user/project","hook_event_name":"PostToolBatch","permission_mode":"default","tool_calls":[)" +
           calls + "]}";
}

void writeFile(const std::string& path, const std::string& bytes) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

struct Sample {
    double cpuMS;
    double wallMS;
    // Not the peak resident size: a child spawned with a shared address space inherits its spawner's peak
    // at exec, so that figure would be this benchmark's. The faults tell a start's cost instead.
    double minorFaults;
};

Sample runOnce(const std::string& program, const char* flag, const std::string& inputPath) {
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
    auto ms = [](const timeval& time) { return static_cast<double>(time.tv_sec) * 1e3 + time.tv_usec / 1e3; };
    return {ms(usage.ru_utime) + ms(usage.ru_stime), std::chrono::duration<double, std::milli>(end - start).count(),
            static_cast<double>(usage.ru_minflt)};
}

// One program as it is measured: which binary, with which flag, on which input (by run).
struct Subject {
    std::string label;
    std::string program;
    const char* flag;
    std::vector<std::string> inputs;  // taken in turn
    std::vector<Sample> samples;

    void run(int round) { samples.push_back(runOnce(program, flag, inputs[round % inputs.size()])); }
    double median(double Sample::*field) const {
        std::vector<double> values;
        for (const auto& sample : samples) values.push_back(sample.*field);
        std::sort(values.begin(), values.end());
        return values.empty() ? 0 : values[values.size() / 2];
    }
    double meanCPU() const {
        double sum = 0;
        for (const auto& sample : samples) sum += sample.cpuMS;
        return samples.empty() ? 0 : sum / static_cast<double>(samples.size());
    }
};

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
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    char stateTemplate[] = "/tmp/tarnel-teebench-XXXXXX";
    if (!mkdtemp(stateTemplate)) return 1;
    const std::string state = stateTemplate;

    // Each program runs from a copy, as an install leaves it: a file the linker has just written sits in the
    // page cache in small pieces, and the same bytes cost more to start from there than from a copy (here
    // 0.72 against 0.63 ms a run of the tee), which would measure the build tree rather than the program.
    auto installed = [&state](const fs::path& program, const std::string& name) {
        const fs::path copy = fs::path(state) / "bin" / name / program.filename();
        fs::create_directories(copy.parent_path());
        fs::copy_file(program, copy);
        return copy.string();
    };
    const std::string tee = installed(self.parent_path().parent_path() / "Tracker" / "tarnel-tee", "this");
    const std::string other = argc > 2 ? installed(argv[2], "other") : "";
    const std::string floor = installed(self.parent_path() / "MinimalReader", "floor");
    const std::string calls = installed(self.parent_path() / "StatusLineCalls", "calls");
    setenv("VAZ_ADODIVO_STATE_DIR", state.c_str(), 1);
    unsetenv("LST_TEE_DEBUG");
    const std::string status = state + "/status.json";
    writeFile(status, statusDocument());
    // A reply's tools have run (the most frequent event; the phase stays streaming), and the events at a turn's
    // end and start in turn (each changes the phase).
    const std::string batch = state + "/batch.json";
    writeFile(batch, hookDocument("PostToolBatch"));
    const std::string bigBatch = state + "/big-batch.json";
    writeFile(bigBatch, toolBatchDocument());
    const std::string stop = state + "/stop.json";
    writeFile(stop, hookDocument("Stop"));
    const std::string prompt = state + "/prompt.json";
    writeFile(prompt, hookDocument("UserPromptSubmit"));

    std::vector<Subject> subjects = {
        {"floor (static C reader)", floor, nullptr, {status}, {}},
        {"status line's system calls alone (C)", calls, nullptr, {status}, {}},
        {"tee, status line", tee, nullptr, {status}, {}},
        {"tee --hook, PostToolBatch", tee, "--hook", {batch}, {}},
        {"tee --hook, Stop/UserPromptSubmit", tee, "--hook", {stop, prompt}, {}},
        {"tee --hook, PostToolBatch, 100 KB", tee, "--hook", {bigBatch}, {}},
    };
    if (!other.empty()) {
        subjects.push_back({"other tee, status line", other, nullptr, {status}, {}});
        subjects.push_back({"other tee --hook, PostToolBatch", other, "--hook", {batch}, {}});
        subjects.push_back({"other tee --hook, Stop/UserPromptSubmit", other, "--hook", {stop, prompt}, {}});
        subjects.push_back({"other tee --hook, PostToolBatch, 100 KB", other, "--hook", {bigBatch}, {}});
    }

    // Warm the page cache and the state directory first, then take turns.
    for (int round = 0; round < 5; ++round) {
        for (auto& subject : subjects) runOnce(subject.program, subject.flag, subject.inputs[0]);
    }
    for (int round = 0; round < runs; ++round) {
        for (auto& subject : subjects) subject.run(round);
    }
    const bool recorded = fs::exists(state + "/sessions/" + sessionID + ".json") &&
                          fs::exists(state + "/sessions/" + sessionID + ".phase");
    fs::remove_all(state);

    std::printf("runs: %d each, in turn, each program from an installed copy (record and phase written: %s)\n", runs,
                recorded ? "yes" : "NO");
    std::printf("%-42s %11s %11s %9s %11s %9s\n", "", "CPU median", "CPU mean", "/ floor", "wall median", "faults");
    const double floorCPU = subjects.front().median(&Sample::cpuMS);
    for (const auto& subject : subjects) {
        const double cpu = subject.median(&Sample::cpuMS);
        std::printf("%-42s %8.3f ms %8.3f ms %8.2fx %8.3f ms %9.0f\n", subject.label.c_str(), cpu, subject.meanCPU(),
                    cpu / floorCPU, subject.median(&Sample::wallMS), subject.median(&Sample::minorFaults));
    }
    std::printf("target: a status-line run and a hook run each at most 1.3x the floor (CPU)\n");
    return recorded ? 0 : 1;
}
