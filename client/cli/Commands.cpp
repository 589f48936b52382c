#include "cli/Commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include "AuthKey.h"
#include "heap/HeapText.h"
#include "TlsContext.h"
#include "term/InterruptGuard.h"
#include "term/ProgressDisplay.h"
#include "VeskProtocol.h"

namespace wire = Orlo::Protocol;

namespace vesk {

static std::vector<Command>& Registry() {
    static std::vector<Command> commands;
    return commands;
}

CommandRegistration::CommandRegistration(const char* name, const char* summary, CommandDefinition define) {
    Registry().push_back({name, summary, std::move(define)});
}

CommandRegistration::CommandRegistration(const char* name, const char* summary, void (*run)(const Options&)) {
    Registry().push_back({name, summary, [run](CLI::App&) { return CommandRun(run); }});
}

std::vector<Command> AllCommands() {
    std::vector<Command> commands = Registry();
    std::sort(commands.begin(), commands.end(),
              [](const Command& a, const Command& b) { return strcmp(a.name, b.name) < 0; });
    return commands;
}

std::string AskExplorer(const Options& options, std::string file, std::string tag, const std::string& command,
                        const std::string& path, std::map<std::string, std::string> query, bool json) {
    InterruptExit cancel(command + " cancelled (Ctrl-C)", EXIT_CANCELLED);
    if (options.portGiven && tag.empty()) std::swap(tag, file);
    if (tag.empty()) throw UsageError("give TAG, as vesk top prints it");
    ProgressDisplay progress(command);
    HeapInput input(InputOf(options), file, true, progress);
    std::unique_ptr<ExploreApi> api = ExploreApi::Open(input, nullptr, progress);
    progress.Stop();
    query["tag"] = tag;
    ApiAnswer answer = api->Handle(path, query);
    if (answer.status != 200) {
        std::string message = nlohmann::json::parse(answer.body, nullptr, false).value("error", answer.body);
        if (answer.status >= 500) throw std::runtime_error(message);
        throw ClientError(ErrorKind::Usage, message);
    }
    if (json) printf("%s\n", nlohmann::ordered_json::parse(answer.body).dump(2).c_str());
    return answer.body;
}

CLI::Validator DecimalRange(long low, long high) {
    std::string range = "[" + std::to_string(low) + ", " + std::to_string(high) + "]";
    return CLI::Validator(
        [low, high, range](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            long n = strtol(text.c_str(), &end, 10);
            bool digits = !text.empty() && (isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-');
            if (!digits || *end || errno == ERANGE || n < low || n > high)
                return "expected a whole number in " + range + ", not '" + text + "'";
            return "";
        },
        "in " + range);
}

const CLI::Validator NonEmpty(
    [](std::string& text) -> std::string { return text.empty() ? "must not be empty" : ""; }, "");

void AddRowOptions(CLI::App& command, size_t& count, const std::string& countHelp, bool& json, bool& bytes,
                   long limit) {
    command.add_option("-n", count, countHelp)->option_text("N")->check(DecimalRange(1, limit));
    command.add_flag("--json", json, "one JSON document on stdout instead of the text");
    command.add_flag("--bytes", bytes, "sizes in bytes instead of KiB, MiB, GiB");
}

VeskClient ConnectClient(const Options& options, AuthOutcome* auth) {
    Orlo::AuthKey key;
    if (!options.authFile.empty()) {
        if (Orlo::Error error = Orlo::AuthKey::Load(options.authFile, key))
            throw ClientError(ErrorKind::File, error.Message());
    }
    if (options.tls && key.Empty()) throw UsageError("--tls needs --auth FILE: TLS is keyed by the agent's key");
    VeskClient client;
    client.Connect(options.host, options.port);
    client.SetReadTimeout(options.timeoutMs);
    if (!key.Empty() && !options.noTls) {
        Orlo::Error error;
        std::shared_ptr<const Orlo::TlsContext> context =
            Orlo::TlsContext::Create(Orlo::TlsContext::Side::Client, key, error);
        if (!context) throw ClientError(ErrorKind::Auth, error.Message());
        if (client.StartTls(context)) {
            if (auth) auth->agentKnowsAuth = auth->keyed = true;
            return client;
        }
        if (options.tls)
            throw ClientError(ErrorKind::Auth, "the agent at " + options.host + ":" + std::to_string(options.port) +
                                                   " does not speak TLS (it was started without tls=on); "
                                                   "leave out --tls to authenticate in plain TCP");
        // An agent without TLS: the key still authenticates, in plain text.
        client.Connect(options.host, options.port);
    }
    if (!key.Empty() || auth) {
        AuthOutcome outcome = client.Authenticate(key.Empty() ? nullptr : &key);
        if (auth) *auth = outcome;
    }
    return client;
}

std::vector<Frame> RunRequest(const Options& options, const std::string& request, AuthOutcome* auth,
                              const char* extension) {
    VeskClient client = ConnectClient(options, auth);
    client.Send(request);
    std::vector<Frame> frames;
    client.ReadResponse([&](const Frame& frame) {
        if (options.raw) fwrite(frame.bytes.data(), 1, frame.bytes.size(), stdout);
        frames.push_back(frame);
    });
    std::string message;
    for (const Frame& frame : frames)
        if (ResponseError(frame.Body(), &message) &&
            !(extension && message == std::string(wire::UNKNOWN_COMMAND_MESSAGE) + extension))
            throw ClientError(ErrorKind::AgentReported, "the agent reported: " + message);
    return frames;
}

bool IsZstdName(const std::string& path) {
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".zst") == 0;
}

std::string SavedSize(const std::string& path, uint64_t decoded) {
    struct stat saved {};
    uint64_t size = stat(path.c_str(), &saved) == 0 ? static_cast<uint64_t>(saved.st_size) : decoded;
    return SizeText(size) + (IsZstdName(path) ? " (decoded: " + SizeText(decoded) + ")" : "");
}

InputSettings InputOf(const Options& options) {
    InputSettings settings;
    settings.host = options.host;
    settings.port = options.port;
    settings.timeoutMs = options.timeoutMs;
    settings.compress = options.compress;
    settings.walk = options.walk;
    settings.snapshot = options.snapshot;
    settings.portGiven = options.portGiven;
    settings.noIndex = options.noIndex;
    settings.indexInCache = options.indexInCache;
    settings.connect = [options] { return ConnectClient(options); };
    return settings;
}

int ExitStatus(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::NotListening: return EXIT_NOT_LISTENING;
        case ErrorKind::Rejected: return EXIT_REJECTED;
        case ErrorKind::Usage: return EXIT_USAGE;
        case ErrorKind::AgentReported: return EXIT_AGENT_ERROR;
        case ErrorKind::File: return EXIT_FILE;
        case ErrorKind::Cancelled: return EXIT_CANCELLED;
        case ErrorKind::NoProcess: return EXIT_NO_PROCESS;
        case ErrorKind::AttachFailed: return EXIT_ATTACH;
        case ErrorKind::Auth: return EXIT_AUTH;
        case ErrorKind::Dropped:
        case ErrorKind::Timeout:
        case ErrorKind::Protocol: return EXIT_DROPPED;
    }
    return EXIT_DROPPED;
}

}  // namespace vesk
