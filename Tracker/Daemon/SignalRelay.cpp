#include "Daemon/SignalRelay.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "Daemon/EmergencyRelease.hpp"

namespace tracker::SignalRelay {

namespace {

int relayPipe[2] = {-1, -1};

sigset_t trappedSet() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : trapped()) sigaddset(&signals, sig);
    return signals;
}

// Async-signal-safe: only the signal number crosses into the pipe.
void onTrapped(int sig) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(sig);
    ssize_t ignored = ::write(relayPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

// A signal of a fault. Sent by another process (kill), it ends the daemon the way SIGTERM does. A real fault of
// this process (a bad address, its own abort) leaves no code to trust: what is held is let go with
// async-signal-safe calls alone, and the daemon dies of the signal as it would have.
void onFatal(int sig, siginfo_t* info, void*) {
    const bool sent = info && (info->si_code == SI_USER || info->si_code == SI_QUEUE || info->si_code == SI_TKILL) &&
                      info->si_pid != ::getpid();
    if (sent) {
        onTrapped(sig);
        return;
    }
    EmergencyRelease::releaseAll();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(sig, &fallback, nullptr);
    // Delivered once this handler returns (the signal is blocked while it runs); a fault's instruction runs
    // again and faults anew either way.
    ::raise(sig);
}

}  // namespace

const std::vector<int>& fatal() {
    static const std::vector<int> signals{SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};
    return signals;
}

const std::vector<int>& trapped() {
    static const std::vector<int> signals{SIGTERM,   SIGINT,  SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                          SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR,  SIGSTKFLT};
    return signals;
}

void holdBack() {
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t signals = trappedSet();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void arm(std::function<void(int)> handler) {
    if (::pipe2(relayPipe, O_CLOEXEC) != 0) {
        // No way to serve them: they keep their default action rather than wait forever.
        sigset_t signals = trappedSet();
        ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        return;
    }
    ::fcntl(relayPipe[1], F_SETFL, O_NONBLOCK);
    std::thread([handler = std::move(handler)] {
        for (;;) {
            unsigned char byte = 0;
            ssize_t n = ::read(relayPipe[0], &byte, 1);
            if (n == 1) {
                handler(byte);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return;
        }
    }).detach();
    for (int sig : trapped()) {
        struct sigaction action {};
        action.sa_handler = onTrapped;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(sig, &action, nullptr);
    }
    for (int sig : fatal()) {
        struct sigaction action {};
        action.sa_sigaction = onFatal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        ::sigaction(sig, &action, nullptr);
    }
    // What came during start-up was held back and is handled now.
    sigset_t signals = trappedSet();
    ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

}  // namespace tracker::SignalRelay
