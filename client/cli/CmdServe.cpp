// vesk serve: the heap explorer in the browser. Reads a heap file (or first
// saves the live JVM's heap dump, or a snapshot, to a file), analyses it once
// and serves the page and its JSON API (explore/ExploreServer) until Ctrl-C.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "cli/Commands.h"
#include "explore/ExploreApi.h"
#include "explore/ExploreServer.h"
#include "term/InterruptGuard.h"
#include "term/ProgressDisplay.h"

extern char** environ;

namespace vesk {

namespace {

struct ServeArgs {
    std::vector<std::string> files;
    std::string output;
    int httpPort = 0;
    std::string httpAddress = "127.0.0.1";
    bool open = false;
};

// ./HOST-PID-TIME.hprof.zst (or .vsnap.zst): the JVM's host, its process id
// (with --port, "port" and the agent's port instead) and the local time.
std::string LiveFileName(const Options& options) {
    std::string host = options.host;
    if (host.rfind("127.", 0) == 0 || host == "localhost") {
        char name[256] = "";
        if (gethostname(name, sizeof name - 1) == 0 && name[0]) host = name;
    }
    std::string process = options.pid ? std::to_string(options.pid) : "port" + std::to_string(options.port);
    char when[32];
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    strftime(when, sizeof when, "%Y%m%d-%H%M%S", &local);
    return "./" + host + "-" + process + "-" + when + (options.snapshot || options.walk ? ".vsnap.zst" : ".hprof.zst");
}

// Starts the system's browser on url; its output goes to stderr, its failure
// is a warning.
void OpenBrowser(const std::string& url, Beside<>& opener) {
    opener.Start([url] {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
        const char* argv[] = {"xdg-open", url.c_str(), nullptr};
        pid_t child = 0;
        int failed = posix_spawnp(&child, "xdg-open", &actions, &attributes, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        int status = 0;
        if (!failed && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
        fprintf(stderr, "vesk: warning: --open: %s; open the address yourself\n",
                failed ? (std::string("cannot start xdg-open: ") + strerror(failed)).c_str()
                       : "xdg-open did not open a browser");
    });
}

void RunServe(const Options& options, ServeArgs args) {
    if (args.files.size() > 2) throw UsageError("serve takes one heap, or OLD NEW to compare two");
    if (args.files.size() == 2 && options.portGiven)
        throw UsageError("serve compares two heaps: OLD NEW, or OLD --port P");
    if (args.files.empty() && !options.portGiven)
        throw UsageError("serve takes a FILE, or --port P or --pid PID for the live heap");
    if (!args.output.empty() && !options.portGiven) throw UsageError("-o names the file of the live heap (--port, --pid)");
    if (args.httpAddress != "127.0.0.1")
        fprintf(stderr,
                "vesk: warning: serving on %s: the heap's structure is open to the network, guarded by the token alone\n",
                args.httpAddress.c_str());
    if (options.portGiven) {
        std::string path = args.output.empty() ? LiveFileName(options) : args.output;
        if (options.snapshot || options.walk) SaveSnapshot(options, path);
        else SaveHeapDump(options, path);
        args.files.push_back(path);
    }

    std::unique_ptr<ExploreApi> api;
    {
        // Ctrl-C ends the program at once while the heap is read.
        InterruptExit cancel("serve cancelled (Ctrl-C)", EXIT_CANCELLED);
        ProgressDisplay progress("serve");
        std::vector<HeapInput> inputs;
        for (const std::string& file : args.files) inputs.emplace_back(InputOf(options), file, true, progress);
        api = ExploreApi::Open(inputs.front(), inputs.size() == 2 ? &inputs.back() : nullptr, progress);
        progress.Stop();
    }
    ExploreServer server(*api, args.httpAddress, args.httpPort);
    // Ctrl-C ends the program at once, without waiting for a long call in
    // progress (nothing is written while serving).
    InterruptExit stop("serve stopped (Ctrl-C)", EXIT_OK);
    printf("serving %s\n", server.Url().c_str());
    fflush(stdout);
    api->Prepare();
    Beside<> opener;
    if (args.open) OpenBrowser(server.Url(), opener);
    for (;;) pause();
}

CommandRun DefineServe(CLI::App& command) {
    auto args = std::make_shared<ServeArgs>();
    command.add_option("FILE", args->files,
                       "a saved snapshot stream or HPROF file, or OLD NEW to compare two; with --port or --pid the "
                       "live heap, saved to a file first (" LIVE_ROUTE "), stands for the last one")
        ->check(NonEmpty);
    command.add_option("-o", args->output,
                       "the file the live heap is saved to (default ./HOST-PID-TIME.hprof.zst, .vsnap.zst with "
                       "--snapshot)")
        ->option_text("FILE")
        ->check(NonEmpty);
    command.add_option("--http-port", args->httpPort, "the port to serve on (default: a free one)")
        ->option_text("PORT")
        ->check(DecimalRange(1, 65535));
    command.add_option("--http-address", args->httpAddress,
                       "the address to serve on (default 127.0.0.1; any other serves the heap to the network, "
                       "guarded by the token)")
        ->option_text("ADDRESS")
        ->check(NonEmpty);
    command.add_flag("--open", args->open, "open the page in the system's browser (xdg-open)");
    command.footer(
        "Prints one line, 'serving http://127.0.0.1:PORT/#token=TOKEN', once the heap is analysed, and\n"
        "answers until Ctrl-C (exit status 0). The page loads without the token; every /api/ request\n"
        "needs it (Authorization: Bearer TOKEN, or the cookie the first answer sets). docs/serve.md\n"
        "describes the views, docs/api.md the API.");
    return [args](const Options& options) { RunServe(options, *args); };
}

CommandRegistration registration("serve", "explore a heap in the browser: dominator tree, objects, references, paths",
                                 DefineServe);

}  // namespace

}  // namespace vesk
