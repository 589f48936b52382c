// A response frame as VeskClient hands it on, made from its body, for tests
// of what the client reads from answers.
#pragma once

#include <string>

#include "protocol/VeskClient.h"

namespace vesktest {

inline vesk::Frame BodyFrame(const std::string& body) {
    vesk::Frame frame;
    frame.bytes = "<vesk-resp tag=\"1\">" + body + "</vesk-resp>\n";
    frame.bodyOffset = frame.bytes.find('>') + 1;
    frame.bodyLength = body.size();
    frame.last = body.find("<last value=\"1\"/>") != std::string::npos;
    return frame;
}

}  // namespace vesktest
