#include "tools/wdmusbctl/cli.h"

#include <CLI/CLI.hpp>
#include <fstream>
#include <iterator>

#include "tools/wdmusbctl/commands.h"
#include "tools/wdmusbctl/data.h"
#include "tools/wdmusbctl/errors.h"
#include "tools/wdmusbctl/interrupt.h"
#include "tools/wdmusbctl/terminal.h"

namespace wdmusbctl {

namespace {

constexpr const char* kExitStatuses =
    "\nExit status: 0 done; 1 loopback data differ; 2 bad argument; 3 no device; 4 device busy or "
    "in use; 5 device removed or restarted; 6 device error; 7 (simulator) the verifier found a "
    "fault; 8 interrupted (Ctrl-C), the request cancelled.";

// Everything the command line says, filled in by CLI11.
struct Arguments {
    Target target;
    std::size_t size = 0;
    std::uint32_t count = 1;
    std::string file;
    std::string hex;
    std::string direction;
    // The vendor request's numbers, wider than their fields so that a value out of range is
    // named with the range rather than refused as not a number.
    std::uint32_t request = 0;
    std::uint32_t value = 0;
    std::uint32_t index = 0;
    std::uint32_t length = 0;
};

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        throw Failure("cannot read " + path, 0, Exit::BadArgument);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> hexArgument(const std::string& text, const char* what) {
    auto bytes = parseHex(text);
    if (!bytes)
        throw Failure(std::string(what) + ": '" + text +
                          "' is not hex bytes (two digits a byte, e.g. de:ad:be:ef)",
                      0, Exit::BadArgument);
    return *bytes;
}

// What `write` sends: N bytes of the pattern, the --hex bytes or the --file's.
std::vector<std::uint8_t> writeSource(const Arguments& a, const CLI::App& write) {
    if (write.count("--hex") != 0)
        return hexArgument(a.hex, "--hex");
    if (write.count("--file") != 0)
        return readFile(a.file);
    return pattern(a.size, 0);
}

// The vendor request the command line describes; --data only for OUT, and no longer than it.
VendorArguments vendorArguments(const Arguments& a, const CLI::App& vendor) {
    VendorArguments request;
    request.in = a.direction == "in";
    request.request = static_cast<std::uint8_t>(a.request);
    request.value = static_cast<std::uint16_t>(a.value);
    request.index = static_cast<std::uint16_t>(a.index);
    request.length = static_cast<std::uint16_t>(a.length);
    if (vendor.count("--data") == 0)
        return request;
    if (request.in)
        throw Failure("--data: a vendor IN request sends no data", 0, Exit::BadArgument);
    request.data = hexArgument(a.hex, "--data");
    if (request.data.size() > request.length)
        throw Failure("--data: " + std::to_string(request.data.size()) +
                          " bytes, more than the request's LENGTH " + std::to_string(a.length),
                      0, Exit::BadArgument);
    return request;
}

void addCommands(CLI::App& app, Arguments& a) {
    app.add_subcommand("list", "List the devices of the driver's interface class");
    app.add_subcommand("info", "Show the device's configuration descriptor, decoded");

    CLI::App* read = app.add_subcommand("read", "Read N bytes (hex dump, or into FILE)");
    read->add_option("N", a.size, "Bytes to read")->required()->check(CLI::Range(1, 1 << 24));
    read->add_option("FILE,--out", a.file, "Write the bytes into this file instead");

    CLI::App* write = app.add_subcommand("write", "Write N pattern bytes, --hex bytes or a --file");
    write->add_option("N", a.size, "Bytes of the test pattern")->check(CLI::Range(1, 1 << 24));
    write->add_option("--hex", a.hex, "The bytes, in hex (de:ad:be:ef)");
    write->add_option("--file", a.file, "The bytes of this file")->check(CLI::ExistingFile);
    write->require_option(1);

    CLI::App* vendor = app.add_subcommand("vendor", "Send a vendor request on the default pipe");
    vendor->add_option("DIRECTION", a.direction, "in (from the device) or out")
        ->required()
        ->check(CLI::IsMember({"in", "out"}));
    vendor->add_option("REQUEST", a.request, "bRequest")->required()->check(CLI::Range(0, 0xFF));
    vendor->add_option("VALUE", a.value, "wValue")->required()->check(CLI::Range(0, 0xFFFF));
    vendor->add_option("INDEX", a.index, "wIndex")->required()->check(CLI::Range(0, 0xFFFF));
    vendor->add_option("LENGTH", a.length, "Bytes of the data stage")
        ->required()
        ->check(CLI::Range(0, 0xFFFF));
    vendor->add_option("--data", a.hex,
                       "OUT: the bytes to send, in hex, at most LENGTH (the rest is the test "
                       "pattern)");

    app.add_subcommand("reset", "Re-enable the device's port (port recovery)");

    CLI::App* loop = app.add_subcommand(
        "loopback", "Write SIZE pattern bytes, read them back and verify them, COUNT times");
    loop->add_option("SIZE", a.size, "Bytes each round (default 65536)")
        ->check(CLI::Range(1, 1 << 24));
    loop->add_option("COUNT", a.count, "Rounds (default 1)")->check(CLI::Range(1, 1 << 30));
    loop->add_option("--count", a.count, "Rounds, as an option")->check(CLI::Range(1, 1 << 30));
}

// Runs the parsed command; returns the exit status.
Exit runCommand(const CLI::App& app, Arguments& a) {
    const std::string name = app.get_subcommands().front()->get_name();
    std::FILE* out = stdout;
    if (name == "list")
        listDevices(out);
    else if (name == "info")
        showInfo(a.target, out);
    else if (name == "read")
        readData(a.target, a.size, a.file, out);
    else if (name == "write")
        writeData(a.target, writeSource(a, *app.get_subcommand("write")), out);
    else if (name == "vendor")
        vendorRequest(a.target, vendorArguments(a, *app.get_subcommand("vendor")), out);
    else if (name == "reset")
        resetPort(a.target, out);
    else if (name == "loopback")
        return loopback(a.target, a.size == 0 ? 65536 : a.size, a.count, stdoutIsTerminal(), out)
                   ? Exit::Ok
                   : Exit::Mismatch;
    return Exit::Ok;
}

} // namespace

int run(int argc, char** argv, Platform* platform) {
    CLI::App app("wdmusbctl: drive a wdmusb device from an application", "wdmusbctl");
    app.footer(kExitStatuses);
    Arguments a;
    app.add_option("-d,--device", a.target.device, "The device's number in 'list' (default 0)");
    app.add_option("-t,--timeout", a.target.timeoutMs,
                   "Milliseconds each request may take before it is cancelled (default 5000)")
        ->check(CLI::Range(1u, 3600000u));
    if (platform != nullptr)
        platform->addOptions(app);
    addCommands(app, a);
    // At most one command; none is refused after parsing, so that an unknown word is named as
    // such rather than reported as a missing command.
    app.require_subcommand(0, 1);
    try {
        app.parse(argc, argv);
        if (app.get_subcommands().empty())
            throw CLI::RequiredError(
                "A command (list, info, read, write, vendor, reset, loopback)");
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : static_cast<int>(Exit::BadArgument);
    }
    int status = 0;
    try {
        catchInterrupts(); // before the platform starts threads of its own
        if (platform != nullptr)
            platform->start();
        status = static_cast<int>(runCommand(app, a));
    } catch (const Failure& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "wdmusbctl: %s\n", failure.what());
        status = static_cast<int>(failure.exit());
    }
    return platform != nullptr ? platform->finish(status) : status;
}

} // namespace wdmusbctl
