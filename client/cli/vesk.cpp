// vesk: command-line client of the heap-snapshot agent.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cli/Commands.h"
#include "VeskVersion.h"
#include "protocol/JvmAttach.h"

using namespace vesk;

static const int REJECTED_ATTEMPTS = 20;
static const int REJECTED_PAUSE_MS = 100;

static const char EXIT_STATUS[] =
    "Exit status:\n"
    "  0    success\n"
    "  1    the agent reported an error (vesk attach: it did not start; vesk diff\n"
    "       --fail-above: the heap or a class grew beyond the limit)\n"
    "  2    usage error\n"
    "  3    nothing listening at HOST:PORT (--pid: no agent attached to PID)\n"
    "  4    rejected: the agent serves another client\n"
    "  5    connection dropped, timed out, or not the agent's protocol\n"
    "  6    a local file could not be read or written, or holds no snapshot; an --auth key\n"
    "       file that is missing, too short, or readable by others than its owner; an\n"
    "       address that vesk serve or vesk watch --metrics cannot listen on\n"
    "  7    out of memory (a heap too large to analyse here)\n"
    "  8    an unexpected error inside vesk\n"
    "  9    vesk attach: no such process, or it is not a JVM\n"
    "  10   vesk attach: the JVM cannot be attached to (as this user, or at all),\n"
    "       did not answer within --timeout, or could not load the agent library\n"
    "  11   the agent requires an authentication key (--auth) or TLS, refused the one given,\n"
    "       or refuses this address for a minute after five failed attempts; the TLS\n"
    "       handshake failed (a wrong key, an agent without TLS under --tls, not the agent)\n"
    "  130  cancelled with Ctrl-C";

static const char SIZES[] =
    "Tables show sizes in binary units (1 KiB = 1024 bytes, then MiB, GiB); --bytes on histo,\n"
    "top, path, diff and suspects prints whole bytes, as --json always does. On a terminal, reading and\n"
    "analysing a heap shows its phases on one line of standard error, erased before the results.\n"
    "Saved snapshots and HPROF files may be zstd-compressed (told by their content, not the name):\n"
    "they are decoded as they are read, never whole into memory or onto disk.\n\n";

static const char COMMON_OPTIONS[] =
    "The options of vesk --help (--host, --port, --pid, --auth, --tls, --no-tls, --timeout, --raw, --no-compress, --no-index,\n"
    "--snapshot, --walk) also go before or after the command.";

// "vesk: PREFIXMESSAGE" on stderr, after what went to stdout. No allocation:
// after std::bad_alloc there may be none to be had.
static void PrintError(const char* prefix, const char* message) {
    fflush(stdout);
    fprintf(stderr, "vesk: %s%s\n", prefix, message);
}

// The help of the command whose arguments failed to parse, else the program's.
static std::string HelpHint(const CLI::App& app) {
    for (const CLI::App* command : app.get_subcommands())
        return "vesk " + command->get_name() + " --help shows its usage";
    return "vesk --help shows the usage";
}

// The first word of the command line that is neither an option nor an
// option's value: where the command should be; "" when there is none.
static std::string CommandWord(CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        std::string word = argv[i];
        if (word.empty() || word[0] != '-') return word;
        if (word == "--") return "";
        const CLI::Option* option = word.find('=') == std::string::npos ? app.get_option_no_throw(word) : nullptr;
        if (option && option->get_type_size() > 0) i++;
    }
    return "";
}

// Parses the command line and runs the chosen command; every failure is
// thrown. Returns the status of a --help request, else EXIT_OK.
static int Run(int argc, char** argv) {
    Options options;
    int timeoutSeconds = options.timeoutMs / 1000;
    CLI::App app("Command-line client of the heap-snapshot agent.", "vesk");
    // Set before the subcommands exist, which inherit them: the common options
    // are taken after the command too, flags take no value ("--raw=1" is an
    // error), and one command runs at a time.
    app.fallthrough();
    app.option_defaults()->disable_flag_override();
    app.require_subcommand(0, 1);
    app.footer(std::string(SIZES) + EXIT_STATUS);
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.get_formatter()->column_width(24);
    app.set_version_flag("--version", std::string("vesk ") + Orlo::VESK_VERSION, "print vesk's version and exit");
    app.add_option("--host", options.host, "agent host (default 127.0.0.1)")->option_text("HOST")->check(NonEmpty);
    CLI::Option* port =
        app.add_option("--port", options.port, "agent port (default " + std::to_string(options.port) + ")")
            ->option_text("PORT")
            ->check(DecimalRange(1, 65535));
    int pid = 0;
    CLI::Option* pidOption =
        app.add_option("--pid", pid,
                       "the agent vesk attach loaded into the JVM PID (Linux), for --host and --port")
            ->option_text("PID")
            ->check(DecimalRange(1, 2147483647));
    pidOption->excludes(port);
    pidOption->excludes("--host");
    app.add_option("--auth", options.authFile,
                   "key file of an agent started with auth=FILE (vesk keygen writes one; also VESK_AUTH)")
        ->option_text("FILE")
        ->envname("VESK_AUTH")
        ->check(NonEmpty);
    CLI::Option* tls = app.add_flag("--tls", options.tls,
                 "with --auth: TLS or nothing, never plain TCP (vesk attach: start the agent with tls=on)");
    app.add_flag("--no-tls", options.noTls, "with --auth: authenticate in plain TCP, never try TLS")->excludes(tls);
    app.add_flag("--raw", options.raw, "print the response frames as received instead of a summary");
    bool noCompress = false;
    app.add_flag("--no-compress", noCompress,
                 "do not ask the agent to compress snapshots and dumps on the wire (zstd, asked by default)");
    app.add_flag("--snapshot", options.snapshot,
                 "analyse a live heap from a SNAPSHOT (made from the JVM's own heap dump) instead of the redacted "
                 "heap dump itself (HEAPDUMP)");
    app.add_flag("--walk", options.walk,
                 "take live snapshots by the agent's heap walk (a longer pause) instead of from the JVM's own heap "
                 "dump; implies --snapshot");
    app.add_flag("--no-index", options.noIndex,
                 "neither read nor write FILE.vidx, the index a file's first analysis leaves for later ones "
                 "(VESK_INDEX=cache: in $XDG_CACHE_HOME/vesk or ~/.cache/vesk instead)");
    CLI::Option* timeout = app.add_option("--timeout", timeoutSeconds,
                   "wait at most this long for each response (default 120, 0: no limit)")
        ->option_text("SECONDS")
        ->check(DecimalRange(0, 24 * 3600));

    std::vector<std::pair<CLI::App*, CommandRun>> commands;
    for (const Command& command : AllCommands()) {
        CLI::App* sub = app.add_subcommand(command.name, command.summary);
        sub->group("Commands");
        sub->footer(COMMON_OPTIONS);
        commands.emplace_back(sub, command.define(*sub));
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);  // the chosen command's help, or the program's
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        std::string word = CommandWord(app, argc, argv);
        bool known = false;
        for (const Command& command : AllCommands()) known = known || command.name == word;
        if (app.get_subcommands().empty() && !word.empty() && !known)
            throw ClientError(ErrorKind::Usage, "unknown command '" + word + "' (see vesk --help)");
        throw ClientError(ErrorKind::Usage, std::string(error.what()) + " (" + HelpHint(app) + ")");
    }
    options.timeoutMs = timeoutSeconds * 1000;
    options.compress = !noCompress;
    options.portGiven = port->count() > 0;
    if (pidOption->count() > 0 && app.got_subcommand("attach"))
        throw ClientError(ErrorKind::Usage, "vesk attach takes the PID as its argument, not --pid");
    if (pidOption->count() > 0) {
        AttachedEndpoint agent = FindAttachedAgent(pid);
        options.host = agent.address;
        options.port = agent.port;
        options.portGiven = true;
        options.pid = pid;
    }
    options.timeoutGiven = timeout->count() > 0;
    const char* where = getenv("VESK_INDEX");
    std::string indexes = where ? where : "";
    if (indexes != "" && indexes != "beside" && indexes != "cache")
        throw ClientError(ErrorKind::Usage, "VESK_INDEX=" + indexes + ": give cache (indexes in " +
                                                (CacheDirectory().empty() ? "~/.cache/vesk" : CacheDirectory()) +
                                                ") or beside (next to each file, the default)");
    options.indexInCache = indexes == "cache";

    for (auto& [sub, run] : commands) {
        if (!sub->parsed()) continue;
        // The agent lets a client that has just closed go a moment after the
        // close, and rejects a successor that comes sooner (as in a script
        // running vesk twice): try again for a while. A rejected request
        // never ran; the agent answers each attempt at once.
        for (int attempt = 1;; attempt++) {
            try {
                run(options);
                return EXIT_OK;
            } catch (const ClientError& error) {
                if (error.Kind() != ErrorKind::Rejected || attempt == REJECTED_ATTEMPTS) throw;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(REJECTED_PAUSE_MS));
        }
    }
    fputs(app.help().c_str(), stderr);
    throw ClientError(ErrorKind::Usage, "no command given");
}

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const ClientError& error) {
        PrintError("", error.what());
        return ExitStatus(error.Kind());
    } catch (const std::bad_alloc& error) {
        PrintError("out of memory: ", error.what());
        return EXIT_OUT_OF_MEMORY;
    } catch (const std::length_error& error) {
        PrintError("out of memory: ", error.what());
        return EXIT_OUT_OF_MEMORY;
    } catch (const std::exception& error) {
        PrintError("unexpected error: ", error.what());
        return EXIT_FAULT;
    } catch (...) {
        PrintError("unexpected error", "");
        return EXIT_FAULT;
    }
}
