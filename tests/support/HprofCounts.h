// What an HPROF file holds, counted by the client's reader: shared by the
// tests that compare a redacted dump with the dump it came from.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>

#include "load/HprofFile.h"

namespace vesktest {

struct HprofCounts {
    int64_t classes = 0, instances = 0, objectArrays = 0, primitiveArrays = 0, roots = 0, references = 0;
    std::map<std::string, int64_t> instancesByClass;

    bool operator==(const HprofCounts& o) const {
        return classes == o.classes && instances == o.instances && objectArrays == o.objectArrays &&
               primitiveArrays == o.primitiveArrays && roots == o.roots && references == o.references &&
               instancesByClass == o.instancesByClass;
    }
};

inline std::ostream& operator<<(std::ostream& out, const HprofCounts& c) {
    return out << "classes " << c.classes << ", instances " << c.instances << ", object arrays " << c.objectArrays
               << ", primitive arrays " << c.primitiveArrays << ", roots " << c.roots << ", references "
               << c.references;
}

inline HprofCounts CountHprof(const std::string& path) {
    struct Counter : vesk::HprofVisitor {
        explicit Counter(const vesk::HprofFile& file) : file(file) {}
        void OnClass(const vesk::HprofClass& cls) override {
            counts.classes++;
            for (const vesk::HprofField& field : cls.statics)
                if (field.type == vesk::HprofFormat::OBJECT && field.value) counts.references++;
        }
        void OnRoot(uint8_t, uint64_t) override { counts.roots++; }
        void OnInstance(uint64_t, uint64_t classId, const vesk::HprofClass* cls, const uint8_t* values,
                        uint32_t length) override {
            counts.instances++;
            if (cls) counts.instancesByClass[std::string(cls->name)]++;
            file.ForEachReference(classId, values, length, [&](int32_t, uint64_t) { counts.references++; });
        }
        void OnObjectArray(uint64_t, uint64_t, const uint8_t* elements, uint32_t count) override {
            counts.objectArrays++;
            for (uint32_t i = 0; i < count; i++)
                if (file.Id(elements + i * file.IdSize())) counts.references++;
        }
        void OnPrimitiveArray(uint64_t, uint8_t, uint32_t) override { counts.primitiveArrays++; }

        const vesk::HprofFile& file;
        HprofCounts counts;
    };
    vesk::HprofFile file(path);
    Counter counter(file);
    file.Visit(counter);
    return counter.counts;
}

}  // namespace vesktest
