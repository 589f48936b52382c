#include "protocol/KeptDumps.h"

#include <expat.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "VeskProtocol.h"

namespace wire = Orlo::Protocol;

namespace vesk {

namespace {

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

const char* Attribute(const XML_Char** attributes, const char* name) {
    for (int i = 0; attributes[i]; i += 2)
        if (strcmp(attributes[i], name) == 0) return attributes[i + 1];
    return "";
}

// The <prop> elements of <cmd name="DUMPS"> and its <dump> elements.
void OnStart(void* data, const XML_Char* element, const XML_Char** attributes) {
    KeptCaptures& list = *static_cast<KeptCaptures*>(data);
    if (strcmp(element, wire::DUMP_ELEMENT) == 0) {
        list.captures.push_back({Attribute(attributes, wire::NAME_ATTRIBUTE),
                                 strtoull(Attribute(attributes, wire::SIZE_ATTRIBUTE), nullptr, 10),
                                 strtoll(Attribute(attributes, wire::TIME_ATTRIBUTE), nullptr, 10),
                                 Attribute(attributes, wire::MESSAGE_ATTRIBUTE)});
    } else if (strcmp(element, wire::PROP_ELEMENT) == 0) {
        std::string name = Attribute(attributes, wire::NAME_ATTRIBUTE);
        const char* value = Attribute(attributes, wire::VALUE_ATTRIBUTE);
        if (name == wire::PROP_OOM_DIR) {
            list.armed = true;
            list.directory = value;
        } else if (name == wire::PROP_OOM_EVENTS) {
            list.events = strtoull(value, nullptr, 10);
        }
    }
}

}  // namespace

KeptCaptures RequestKeptCaptures(VeskClient& client) {
    return ReadKeptCaptures(client.Request(VeskClient::BuildRequest({wire::CMD_DUMPS})));
}

KeptCaptures ReadKeptCaptures(const std::vector<Frame>& frames) {
    KeptCaptures list;
    for (const Frame& frame : frames) {
        std::string message;
        if (ResponseError(frame.Body(), &message)) {
            if (message == std::string(wire::UNKNOWN_COMMAND_MESSAGE) + wire::CMD_DUMPS)
                throw ClientError(ErrorKind::AgentReported,
                                  "the agent keeps no heap dumps: it is older than the DUMPS request");
            throw ClientError(ErrorKind::AgentReported, "the agent reported: " + message);
        }
        std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
        XML_SetUserData(parser.get(), &list);
        XML_SetStartElementHandler(parser.get(), OnStart);
        std::string body = "<body>" + std::string(frame.Body()) + "</body>";
        if (XML_Parse(parser.get(), body.data(), static_cast<int>(body.size()), XML_TRUE) != XML_STATUS_OK)
            throw ClientError(ErrorKind::Protocol, std::string("a DUMPS answer that is not XML: ") +
                                                       XML_ErrorString(XML_GetErrorCode(parser.get())));
    }
    return list;
}

}  // namespace vesk
