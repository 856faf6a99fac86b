#include "Platform/NotificationPoster.hpp"

#include <unistd.h>

namespace tracker::NotificationPoster {

namespace {

// The poster runs under timeout(1) when it is there, so that a client stuck on a bus that never
// answers is ended (TERM, then KILL) instead of holding its worker thread for good.
constexpr const char* timeoutProgram = "/usr/bin/timeout";
constexpr const char* lifetimeSeconds = "30";
constexpr const char* killAfter = "--kill-after=5";

// notify-send reads C escapes (\n, \t, \\, octal \101) in the body; doubling every
// backslash makes the body arrive as given.
std::string literalBody(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

std::string defaultProgram() {
    return "/usr/bin/notify-send";
}

const char* name() {
    return "notify-send";
}

// notify-send talks to the desktop's freedesktop notification service over the session bus.
// The title is the summary; a subtitle becomes the first line of the body. "--" keeps a text
// that starts with a dash from being read as an option.
std::vector<std::string> command(const std::string& program, const std::string& title, const std::string& message,
                                 const std::string& subtitle) {
    std::vector<std::string> argv;
    if (::access(timeoutProgram, X_OK) == 0) argv = {timeoutProgram, killAfter, lifetimeSeconds};
    argv.insert(argv.end(), {program, "--app-name=tarnel-vovivida", "--", title,
                             literalBody(subtitle.empty() ? message : subtitle + "\n" + message)});
    return argv;
}

}  // namespace tracker::NotificationPoster
