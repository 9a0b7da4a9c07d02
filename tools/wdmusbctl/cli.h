// wdmusbctl's command line: parsed with CLI11, each command run, each failure printed with its
// exit status.
#pragma once

namespace CLI {
class App;
}

namespace wdmusbctl {

// What a build adds around the commands: options of its own, and the set-up and end of the
// platform the command runs on (the simulator build's machine). The Windows build adds nothing.
class Platform {
public:
    virtual ~Platform() = default;
    virtual void addOptions(CLI::App& app) = 0;
    // After the command line was parsed, before the command; throws a Failure when it cannot.
    virtual void start() = 0;
    // After the command or its failure: the exit status, `status` or the platform's own.
    virtual int finish(int status) = 0;
};

// The whole program; returns the exit status (errors.h).
int run(int argc, char** argv, Platform* platform = nullptr);

} // namespace wdmusbctl
