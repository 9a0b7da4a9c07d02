// Commands that shape the run itself: headings and waiting for steps run in the background.
#include "tools/wdmusb-sim/scenario/run.h"

namespace wdmusbsim {

namespace {

void note(StepContext& context) {
    context.account.section(context.step.word("text"));
}

void wait(StepContext& context) {
    const std::string name = context.step.word("task");
    if (!context.run.waitBackground(name, context.account))
        context.check(false, "background step " + name, "was waited for already");
}

} // namespace

std::vector<CommandSpec> flowCommands() {
    return {
        {.name = "note",
         .summary = "prints a heading in the account",
         .params = {{.name = "text",
                     .type = ValueType::Text,
                     .positional = true,
                     .required = true,
                     .help = "the heading"}},
         .run = note},
        {.name = "wait",
         .title = "Wait for {task}",
         .summary = "waits for a step started in the background (as=NAME) and shows what it did",
         .params = {{.name = "task",
                     .type = ValueType::Name,
                     .positional = true,
                     .required = true,
                     .help = "the name given with as=",
                     .uses = "task"}},
         .run = wait},
    };
}

} // namespace wdmusbsim
