// vesk keygen: writes a new authentication key for the agent's auth= option.
#include <cstdio>

#include "AuthKey.h"
#include "cli/Commands.h"

namespace vesk {

static void RunKeygen(const std::string& path) {
    if (Orlo::Error error = Orlo::AuthKey::Generate(path)) throw ClientError(ErrorKind::File, error.Message());
    printf("wrote a new key to %s (mode 0600); start the agent with auth=%s and give vesk --auth %s\n",
           path.c_str(), path.c_str(), path.c_str());
}

static CommandRun DefineKeygen(CLI::App& command) {
    auto path = std::make_shared<std::string>();
    command.add_option("FILE", *path, "the key file to create; an existing file is never overwritten")
        ->required()
        ->check(NonEmpty);
    command.footer(
        "The key is " + std::to_string(Orlo::AuthKey::NEW_KEY_BYTES) +
        " random bytes as hex. The agent and vesk refuse a key file that group or others may read.\n"
        "Copy it to the JVM's host with the same care (scp, then chmod 600).");
    return [path](const Options&) { RunKeygen(*path); };
}

static CommandRegistration registration("keygen", "write a new authentication key file (mode 0600)",
                                        DefineKeygen);

}  // namespace vesk
