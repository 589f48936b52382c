#include "HistogramCommand.h"

#include <cinttypes>

#include "ClientConnection.h"
#include "HeapHistogram.h"
#include "JvmAgent.h"
#include "JvmClassHistogram.h"
#include "Orlo.h"
#include "StringBuffer.h"
#include "TimeStamp.h"
#include "VeskLogger.h"
#include "XmlUtils.h"

namespace Orlo {

namespace {

// Room for the figures and a few hundred classes; the buffer grows beyond.
constexpr uint64_t RESPONSE_SIZE = 64 * 1024;

}  // namespace

bool HistogramCommand::Run() {
    HeapHistogram pass(&connection);
    JvmClassHistogram jvmHistogram(&connection);
    int64_t gcMillis = 0;
    TimeStamp start;
    start.Now();
    StringBuffer response(RESPONSE_SIZE);
    Error error = agent->CountHeap(live, gcMillis, [&](jvmtiEnv* jvmti, JNIEnv* jni) {
        if (!heapPass) {
            Error why = jvmHistogram.Take(jvmti, jni);
            if (!why || why.Message() == Protocol::CANCELLED_MESSAGE) return why;
            VeskLogger::LogDebug("Histogram by a heap pass: %s", why.What());
            heapPass = true;
        }
        return pass.Count(jvmti, jni);
    });
    if (error) {
        ClientConnection::FormatErrorResponse(NAME, error.What(), response);
        connection.ReturnResponse(response, tag);
        return false;
    }
    XmlUtils::StartCommandElement(response, NAME);
    XmlUtils::AddPropElement(response, Protocol::PROP_HISTOGRAM_TIME, start.Millis());
    if (heapPass) {
        AddFigures(response, pass);
        XmlUtils::AddPropElement(response, Protocol::PROP_TAG_MSEC, pass.TagMillis());
    } else {
        AddFigures(response, jvmHistogram);
    }
    if (live) XmlUtils::AddPropElement(response, Protocol::PROP_GC_MSEC, gcMillis);
    XmlUtils::AddPropElement(response, Protocol::PROP_HISTOGRAM_SOURCE,
                             heapPass ? Protocol::SOURCE_HEAP_PASS : Protocol::SOURCE_JVM);
    XmlUtils::StartXmlElement(response, Protocol::HISTOGRAM_ELEMENT);
    if (heapPass)
        AddRows(response, pass);
    else
        AddRows(response, jvmHistogram);
    XmlUtils::EndXmlElement(response, Protocol::HISTOGRAM_ELEMENT);
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, last ? 1 : 0);
    connection.ReturnResponse(response, tag);
    return true;
}

template <class Histogram> void HistogramCommand::AddFigures(StringBuffer& response, const Histogram& histogram) {
    XmlUtils::AddPropElement(response, Protocol::PROP_TOTAL_INSTANCES, histogram.TotalInstances());
    XmlUtils::AddPropElement(response, Protocol::PROP_TOTAL_BYTES, histogram.TotalBytes());
    XmlUtils::AddPropElement(response, Protocol::PROP_PASS_MSEC, histogram.PassMillis());
}

template <class Histogram> void HistogramCommand::AddRows(StringBuffer& response, const Histogram& histogram) {
    for (const HeapHistogram::Row& row : histogram.Rows()) {
        if (row.instances == 0) continue;
        response.Format("<%s %s=\"%" PRIx64 "\" %s=\"", Protocol::CLASS_ELEMENT, Protocol::CLASS_TAG_ATTRIBUTE,
                        static_cast<uint64_t>(row.tag), Protocol::NAME_ATTRIBUTE);
        XmlUtils::EncodeXmlString(response, row.name);
        response.Format("\" %s=\"%" PRId64 "\" %s=\"%" PRId64 "\"/>", Protocol::HISTO_INSTANCES_ATTRIBUTE,
                        row.instances, Protocol::HISTO_BYTES_ATTRIBUTE, row.bytes);
    }
}

}  // namespace Orlo
