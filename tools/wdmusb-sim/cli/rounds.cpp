#include "tools/wdmusb-sim/cli/rounds.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "tools/wdmusb-sim/cli/options.h"

namespace wdmusbsim {

namespace {

std::string joinLines(const std::vector<int>& lines) {
    std::string out;
    for (int line : lines)
        out += (out.empty() ? "" : ", ") + std::to_string(line);
    return out;
}

void printVerdict(Account& account, const Console& console, int failures) {
    const std::string counts = std::to_string(account.stepsSeen()) + " steps, " +
                               std::to_string(account.checksSeen()) + " checks";
    if (failures == 0) {
        account.plain(console.paint(Style::Green, "verdict: PASS") + "  " + counts +
                      ", pool clean, no verifier finding");
        return;
    }
    const auto lines = account.failedLines();
    account.plain(console.paint(Style::Red, "verdict: FAIL") + "  " + std::to_string(failures) +
                  " failure(s) in " + counts +
                  (lines.empty() ? "" : "; failed on line(s) " + joinLines(lines)));
}

// What the child tells the parent: the line of the step it is about to run.
struct Progress {
    int fd = -1;
    void tell(int line) const {
        if (fd >= 0)
            (void)!write(fd, &line, sizeof line);
    }
};

struct ChildEnd {
    int status = kExitStopped;
    int lastLine = 0;
    std::string why; // for a child that did not exit by itself
};

ChildEnd waitForChild(pid_t pid, int progressFd) {
    ChildEnd end;
    int line = 0;
    while (read(progressFd, &line, sizeof line) == static_cast<ssize_t>(sizeof line))
        end.lastLine = line;
    close(progressFd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        end.status = WEXITSTATUS(status);
        if (end.status != kExitPassed && end.status != kExitFailed)
            end.why = "exit status " + std::to_string(end.status);
    } else if (WIFSIGNALED(status)) {
        end.status = kExitStopped;
        end.why = std::string("signal ") + strsignal(WTERMSIG(status));
    }
    if (end.status != kExitPassed && end.status != kExitFailed)
        end.status = kExitStopped;
    return end;
}

// One scenario in a child process; its output goes to `output` (standard output when null).
ChildEnd runInChild(const Scenario& scenario, RunSettings settings, Console& console,
                    std::FILE* output) {
    int progress[2];
    if (pipe(progress) != 0)
        return {kExitStopped, 0, std::string("no pipe: ") + std::strerror(errno)};
    console.flush();
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        return {kExitStopped, 0, std::string("no child process: ") + std::strerror(errno)};
    if (pid == 0) {
        close(progress[0]);
        if (output != nullptr) {
            dup2(fileno(output), STDOUT_FILENO);
            dup2(fileno(output), STDERR_FILENO);
        }
        const Progress tell{progress[1]};
        settings.onStep = [tell](const Step& step) { tell.tell(step.line()); };
        const int failures = runScenario(scenario, settings, console);
        console.flush();
        std::fflush(stderr);
        _exit(failures == 0 ? kExitPassed : kExitFailed);
    }
    close(progress[1]);
    return waitForChild(pid, progress[0]);
}

void reportStop(Console& console, const Scenario& scenario, const ChildEnd& end) {
    std::string where = end.lastLine > 0 ? " at line " + std::to_string(end.lastLine) : "";
    for (const Step& step : scenario.steps)
        if (step.line() == end.lastLine)
            where += " (" + step.name + ")";
    console.line(console.paint(Style::Red, "verdict: STOPPED") + "  " + scenario.file +
                 ": the simulated system stopped the run" + where + " (" + end.why +
                 "); the lines above say why");
}

void copyOut(std::FILE* from, Console& console) {
    std::rewind(from);
    char buffer[4096];
    std::string text;
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, from)) > 0;)
        text.append(buffer, n);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty())
        console.line(text);
}

} // namespace

int runScenario(const Scenario& scenario, const RunSettings& settings, Console& console) {
    Account account(console);
    account.plain(console.paint(Style::Bold, "wdmusb-sim") + "  scenario " + scenario.file +
                  "  seed " + std::to_string(settings.seed) +
                  (settings.captureFile.empty() ? "" : "  capture " + settings.captureFile));
    int failures = 0;
    {
        Run run(account, settings);
        failures = run.execute(scenario);
    }
    printVerdict(account, console, failures);
    return failures;
}

int runRounds(const RoundsPlan& plan, Console& console) {
    const bool quiet = plan.repeat > 1;
    for (unsigned round = 1; round <= plan.repeat; ++round) {
        const std::uint32_t seed = plan.seed + round - 1;
        int worst = kExitPassed;
        for (const Scenario& scenario : plan.scenarios) {
            RunSettings settings{.seed = seed,
                                 .trace = plan.trace,
                                 .captureFile = plan.capture,
                                 .hangLimit = plan.hangLimit};
            std::FILE* output = quiet ? std::tmpfile() : nullptr;
            const ChildEnd end = runInChild(scenario, settings, console, output);
            if (quiet && end.status != kExitPassed)
                copyOut(output, console);
            if (output != nullptr)
                std::fclose(output);
            if (end.status == kExitStopped)
                reportStop(console, scenario, end);
            worst = std::max(worst, end.status);
        }
        if (quiet)
            console.line("round " + std::to_string(round) + "/" + std::to_string(plan.repeat) +
                         "  seed " + std::to_string(seed) + "  " +
                         (worst == kExitPassed ? console.paint(Style::Green, "PASS")
                                               : console.paint(Style::Red, "FAIL")));
        if (worst != kExitPassed) {
            if (quiet)
                console.line("replay the failing round with --seed " + std::to_string(seed));
            return worst;
        }
    }
    return kExitPassed;
}

} // namespace wdmusbsim
