// SPDX-License-Identifier: MIT
//
// orva-automount: puts a storage device into the directory that the storage
// link plug-in watches, and takes it out again. See orva-automount(8).
//
// add first makes the notification entry <NOTIFY_PREFIX><kernel name>, so
// that the plug-in shows its "attaching" row while the device is probed and
// mounted. It then writes <entry>.label, mounts the device, confines the
// mount, and brings the entry <prefix><kernel name> in as a symbolic link
// to its staging directory, made under a temporary name and renamed into
// place: the entry appears in one step, with the device's files already
// behind it and its label already beside it (the plug-in reads a label
// once, when the entry appears). The notification entry goes last.
//
// Why a link and not the mount point itself: a directory exists (empty)
// before anything is mounted on it, and a mount point cannot be renamed. A
// link renamed over nothing is one step and works from any mount namespace
// that sees the watch directory.
#include "automounter.h"
#include "config.h"
#include "failure.h"
#include "names.h"
#include "service.h"
#include "status.h"

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#ifndef ORVA_VERSION
#define ORVA_VERSION "unknown"
#endif

namespace {

using namespace orva::automount;

const char usageText[] =
    R"(Usage: orva-automount [--watch-dir DIR] [--prefix PFX] add DEVICE
       orva-automount [--watch-dir DIR] [--prefix PFX] remove DEVICE
       orva-automount [--watch-dir DIR] [--prefix PFX] withdraw DEVICE
       orva-automount [--watch-dir DIR] cleanup
       orva-automount [--watch-dir DIR] status [--json]
       orva-automount [--watch-dir DIR] serve

add      mount the file system on the block device DEVICE and show it in DIR
         as <PFX><kernel name>, after writing its label to
         DIR/<PFX><kernel name>.label; while it works, DIR holds the
         notification entry <NOTIFY_PREFIX><kernel name>
remove   take the entry away, unmount the device (lazily if busy) and remove
         the label file
withdraw take only the entry away, at once and without waiting for a lock
         (the device has gone; remove unmounts it)
cleanup  remove entries, notification entries, label files and mounts in DIR
         that no attached device backs
status   list the devices added, their entries, mounts, labels and what is
         at work; --json for one JSON object
serve    the service (orva-automount.service): cleanup, add every device
         that udev marks with ORVA_AUTOMOUNT=1, then add and remove them as
         udev's events say, until SIGTERM

--watch-dir DIR  the directory the plug-in watches (default: WATCH_DIR of
                 the configuration, /run/orva/storage)
--prefix PFX     the entry name's prefix (default: by bus, PREFIX_USB or
                 PREFIX_MMC of the configuration)
--help           show this help
--version        show the version

Configuration: ${ORVA_AUTOMOUNT_CONFIG:-/etc/default/orva-automount}
Exit status: 0 done, 1 failed, 2 usage error, 3 device refused by policy
)";

struct Invocation
{
    std::optional<std::string> watchDir;
    std::optional<std::string> prefix;
    std::vector<std::string> words;
};

// What the program ends with: a script or a unit tells a device refused
// from a fault that wants looking into, and both from a wrong command line.
enum ExitStatus
{
    exitSuccess = 0,
    exitFailure = 1,
    exitUsage = 2,
    exitRefused = 3,
};

// A command line that is none of the usage's. A missing value is said on its
// own, without the usage: the option it belongs to is named already.
class UsageError : public Failure
{
public:
    explicit UsageError(const std::string &what, bool showUsage = true)
        : Failure(what), m_showUsage(showUsage)
    {
    }
    bool showUsage() const { return m_showUsage; }

private:
    bool m_showUsage;
};

// The value of an option given as "--name VALUE" or "--name=VALUE".
std::optional<std::string> optionValue(const std::vector<std::string> &args, std::size_t &i,
                                       const std::string &name, const char *missing)
{
    const std::string &arg = args[i];
    if (arg == name) {
        if (i + 1 >= args.size())
            throw UsageError(missing, false);
        return args[++i];
    }
    if (startsWith(arg, name + "="))
        return arg.substr(name.size() + 1);
    return std::nullopt;
}

// Returns empty when --help or --version has been answered.
std::optional<Invocation> parse(const std::vector<std::string> &args)
{
    Invocation invocation;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (auto dir = optionValue(args, i, "--watch-dir", "--watch-dir needs a directory")) {
            invocation.watchDir = *dir;
        } else if (auto prefix = optionValue(args, i, "--prefix", "--prefix needs a prefix")) {
            invocation.prefix = *prefix;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(usageText, stdout);
            return std::nullopt;
        } else if (arg == "--version") {
            std::fputs("orva-automount " ORVA_VERSION "\n", stdout);
            return std::nullopt;
        } else if (arg == "--") {
            ++i;
            break;
        } else if (!arg.empty() && arg[0] == '-') {
            throw UsageError("unknown option " + printable(arg));
        } else {
            break;
        }
    }
    invocation.words.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    const std::vector<std::string> &words = invocation.words;
    if (words.empty())
        throw UsageError("expected a command");
    const std::string &command = words[0];
    if (command == "add" || command == "remove" || command == "withdraw") {
        if (words.size() != 2)
            throw UsageError(command + " expects a device");
    } else if (command == "cleanup" || command == "serve") {
        if (words.size() != 1)
            throw UsageError(command + " takes no device");
        if (command == "serve" && invocation.prefix)
            throw UsageError("serve takes no --prefix: udev's bus decides");
    } else if (command == "status") {
        if (words.size() > 2 || (words.size() == 2 && words[1] != "--json"))
            throw UsageError("status takes --json and nothing else");
    } else {
        throw UsageError("unknown command '" + printable(command) + "'");
    }
    return invocation;
}

extern "C" void onStopSignal(int signal)
{
    requestStop(signal);
}

// A stop (the device pulled while it is being mounted, the unit stopped)
// lets add undo what it made before it ends by the same signal: systemd
// sees a stop, not a failure.
void catchStopSignals()
{
    // Zeroed: no signal blocked while the handler runs, no flags.
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
}

int run(const std::vector<std::string> &args)
{
    const char *configPath = std::getenv("ORVA_AUTOMOUNT_CONFIG");
    const Config config =
        readConfig(configPath && *configPath ? configPath : "/etc/default/orva-automount");
    const std::optional<Invocation> invocation = parse(args);
    if (!invocation)
        return exitSuccess;
    Automounter automounter(config, invocation->watchDir.value_or(config.watchDir),
                            invocation->prefix);
    const std::vector<std::string> &words = invocation->words;
    if (words[0] == "add")
        automounter.add(words[1]);
    else if (words[0] == "remove")
        automounter.remove(words[1]);
    else if (words[0] == "withdraw")
        automounter.withdraw(words[1]);
    else if (words[0] == "cleanup")
        automounter.cleanup();
    else if (words[0] == "serve")
        serve(automounter);
    else
        std::fputs((words.size() == 2 ? statusJson : statusText)(automounter.report()).c_str(),
                   stdout);
    return exitSuccess;
}

} // namespace

int main(int argc, char **argv)
{
    // Created files get exactly the modes asked for.
    umask(022);
    catchStopSignals();
    const std::vector<std::string> args(argv + 1, argv + argc);
    int status = exitFailure;
    try {
        return run(args);
    } catch (const UsageError &error) {
        if (error.showUsage())
            std::fputs(usageText, stderr);
        fail(error.what());
        status = exitUsage;
    } catch (const Refusal &error) {
        fail(error.what());
        status = exitRefused;
    } catch (const Failure &error) {
        fail(error.what());
    } catch (const std::exception &error) {
        fail(printable(error.what()));
    }
    if (const int signal = stopSignal()) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    return status;
}
