#include "DumpSource.h"

#include <cinttypes>
#include <cstring>
#include <exception>
#include <string>

#include "CancelCheck.h"
#include "ClassFieldValues.h"
#include "ExceptionBoundary.h"
#include "HeapDumper.h"
#include "JvmClassInfo.h"
#include "JvmInfo.h"
#include "JvmThreadInfo.h"
#include "Orlo.h"
#include "ReferenceBatch.h"
#include "VeskLogger.h"

namespace Orlo {

namespace {

using F = HprofFormat;

// Root references one snapshot from a dump can hold: one snapshot file's.
constexpr size_t MAX_ROOTS = static_cast<size_t>(JvmInfo::REFS_PER_FILE);
// Array lengths measured for the layout: two alignment periods of bytes.
constexpr jint MEASURED_LENGTHS = 40;
constexpr jint FRAME_HEADROOM = 64;

jint JNICALL RootReferenceCB(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* reference, jlong classTag,
                             jlong, jlong size, jlong* tagPtr, jlong*, jint length, void* userData) {
    jint visit = JVMTI_VISIT_ABORT;
    ExceptionBoundary::Run("RootReferenceCB", [&] {
        visit = static_cast<DumpSource*>(userData)->CaptureRoot(kind, reference, classTag, size, tagPtr, length);
    });
    return visit;
}

// Java type names of the primitive arrays, by HPROF basic type.
const char* PrimitiveArrayName(uint8_t type) {
    switch (type) {
        case F::BOOLEAN: return "boolean[]";
        case F::CHAR: return "char[]";
        case F::FLOAT: return "float[]";
        case F::DOUBLE: return "double[]";
        case F::BYTE: return "byte[]";
        case F::SHORT: return "short[]";
        case F::INT: return "int[]";
        case F::LONG: return "long[]";
        default: return nullptr;
    }
}

jarray NewArray(JNIEnv* jni, uint8_t type, jint length, jclass objectClass) {
    switch (type) {
        case F::BOOLEAN: return jni->NewBooleanArray(length);
        case F::CHAR: return jni->NewCharArray(length);
        case F::FLOAT: return jni->NewFloatArray(length);
        case F::DOUBLE: return jni->NewDoubleArray(length);
        case F::BYTE: return jni->NewByteArray(length);
        case F::SHORT: return jni->NewShortArray(length);
        case F::INT: return jni->NewIntArray(length);
        case F::LONG: return jni->NewLongArray(length);
        default: return jni->NewObjectArray(length, objectClass, nullptr);
    }
}

int64_t Aligned(int64_t bytes, int64_t alignment) { return (bytes + alignment - 1) / alignment * alignment; }

// Bytes of a field's value by its signature.
int64_t ValueBytes(const std::string& signature, int64_t referenceBytes) {
    const HprofBasicType* primitive = signature.empty() ? nullptr : F::Primitive(signature[0]);
    return primitive ? primitive->size : referenceBytes;
}

}  // namespace

DumpSource::DumpSource(JvmInfo& info, jvmtiEnv* jvmti, JNIEnv* jni)
    : info(info), jvmti(jvmti), jni(jni), frame(jni, FRAME_HEADROOM) {
    tags.classes = info.GetClassInfos();
    tags.classCount = info.GetClassCount();
    tags.threads = info.GetThreadInfos();
    tags.threadCount = info.GetThreadCount();
    tags.firstObject = tags.nextObject = info.GetNextObjectTag();
    std::string name = "java.lang.Class";
    plan.javaLangClassTag = TagOf(info.FindClass(&name));
    for (uint8_t type = 0; type < F::BASIC_TYPES; type++) {
        if (!PrimitiveArrayName(type)) continue;
        name = PrimitiveArrayName(type);
        if (const JvmClassInfo* record = info.FindClass(&name)) plan.primitiveArrayTags[type] = TagOf(record);
    }
    plan.firstObjectTag = info.GetNextObjectTag();
    plan.instanceSize = [this](uint32_t slot) { return InstanceSize(slot); };
    plan.fieldIndex = [this](uint32_t slot, uint32_t declaring, const std::string& field, bool isStatic) {
        return FieldIndex(slot, declaring, field, isStatic);
    };
}

DumpSource::~DumpSource() = default;

Error DumpSource::Take(HeapDumper& dumper) {
    if (!jvmti || !jni || !info.GetTagEnv()) return Error("No JVMTI environment for a snapshot from a heap dump");
    if (!frame.Pushed()) return Error("Out of JNI local references for a snapshot from a heap dump");
    try {
        if (Error error = WalkRoots()) return error;
        if (Error error = BuildHolder()) return error;
        if (Error error = MeasureArrays()) return error;
    } catch (const std::exception& e) {
        return Error(std::string("Cannot prepare the snapshot from a heap dump: ") + e.what());
    }
    if (Error error = dumper.MakeDirectory(HeapDumper::UsedHeap(jni))) return error;
    return dumper.Dump(jni);
}

Error DumpSource::WalkRoots() {
    roots = std::make_unique<ReferenceBatch>(MAX_ROOTS);
    jvmtiHeapCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.heap_reference_callback = &RootReferenceCB;
    if (!CheckJvmtiError(info.GetTagEnv()->FollowReferences(JVMTI_HEAP_FILTER_CLASS_UNTAGGED, nullptr, nullptr,
                                                             &callbacks, this),
                         "FollowReferences(roots)"))
        return Error("The JVM did not report the heap's roots");
    if (rootsOverflow)
        return Error::Format("More than %zu heap roots: too many for a snapshot from a heap dump (source=walk takes it)",
                             MAX_ROOTS);
    plan.roots.reserve(roots->Size());
    for (size_t i = 0; i < roots->Size(); i++) plan.roots.push_back((*roots)[i]);
    roots.reset();
    return Error();
}

jint DumpSource::CaptureRoot(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* reference, jlong classTag,
                             jlong size, jlong* tagPtr, jint length) {
    // Roots only: what they hold comes from the dump.
    if (!HeapRecord::IsRootKind(kind) || tags.ClassIndex(classTag) < 0) return 0;
    jlong tag = *tagPtr;
    const bool rootObject = tag <= DumpPlan::ROOT_TAG && DumpPlan::RootSlot(tag) < plan.rootObjects;
    if (!rootObject && !tags.IsCurrent(tag)) {
        // The walk skips a class object its pass did not see, too.
        if (classTag == plan.javaLangClassTag) return 0;
        tag = DumpPlan::ROOT_TAG - static_cast<jlong>(plan.rootObjects);
    }
    HeapRecord::Captured* record = roots->Next();
    if (!record) {
        rootsOverflow = true;
        return JVMTI_VISIT_ABORT;
    }
    if (tag != *tagPtr) {
        *tagPtr = tag;
        plan.rootObjects++;
    }
    jvmtiHeapReferenceInfo copy;
    HeapRecord::Capture(*record, kind, tags.WithCurrentThread(kind, reference, copy), tag, classTag, size, 0, length,
                        false);
    return 0;
}

Error DumpSource::BuildHolder() {
    JvmtiMemory<jclass> loaded(jvmti);
    jint classCount = 0;
    if (!CheckJvmtiError(jvmti->GetLoadedClasses(&classCount, loaded.Out()), "GetLoadedClasses"))
        return Error("The JVM did not list its classes");
    JvmtiMemory<jthread> threads(jvmti);
    jint threadCount = 0;
    if (!CheckJvmtiError(jvmti->GetAllThreads(&threadCount, threads.Out()), "GetAllThreads"))
        return Error("The JVM did not list its threads");
    const jint rootCount = static_cast<jint>(plan.rootObjects);
    if (!frame.Reserve(classCount + threadCount + rootCount + FRAME_HEADROOM))
        return Error("Out of JNI local references for a snapshot from a heap dump");
    jvmtiEnv* tagEnv = info.GetTagEnv();

    for (jint i = 0; i < classCount; i++) {
        jlong tag = 0;
        CheckJvmtiError(tagEnv->GetTag(loaded[i], &tag), "GetTag");
        const int index = tags.ClassIndex(tag);
        DumpPlan::ClassSlot slot;
        if (index >= 0) {
            slot.tag = tag;
            jlong size = 0;
            CheckJvmtiError(jvmti->GetObjectSize(loaded[i], &size), "GetObjectSize");
            slot.mirrorSize = size;
        }
        plan.classes.push_back(slot);
        classes.push_back(loaded[i]);
        classRecords.push_back(index >= 0 ? &info.GetClassInfos()[index] : nullptr);
    }
    for (jint i = 0; i < threadCount; i++) {
        jlong tag = 0;
        CheckJvmtiError(tagEnv->GetTag(threads[i], &tag), "GetTag");
        plan.threads.push_back(tags.ThreadIndex(tag) >= 0 ? tag : 0);
    }
    std::vector<jobject> rootObjects(plan.rootObjects, nullptr);
    if (rootCount > 0) {
        std::vector<jlong> wanted;
        for (jint k = 0; k < rootCount; k++) wanted.push_back(DumpPlan::ROOT_TAG - k);
        jint found = 0;
        JvmtiMemory<jobject> objects(tagEnv);
        JvmtiMemory<jlong> objectTags(tagEnv);
        if (!CheckJvmtiError(tagEnv->GetObjectsWithTags(rootCount, wanted.data(), &found, objects.Out(),
                                                        objectTags.Out()),
                             "GetObjectsWithTags"))
            return Error("The JVM did not give back the heap's root objects");
        for (jint i = 0; i < found; i++) {
            const uint32_t slot = DumpPlan::RootSlot(objectTags[i]);
            if (slot < rootObjects.size()) rootObjects[slot] = objects[i];
            // The tags go now: in the agent's own environment nothing else would take them off.
            CheckJvmtiError(tagEnv->SetTag(objects[i], 0), "SetTag");
        }
    }

    // The values of java.lang.Class's own fields after the reserved slots,
    // each named by the index the class objects' field records give it.
    const jint reserved = 1 + classCount + threadCount + rootCount;
    ClassFieldValues& values = info.GetClassFields();
    holder = values.GatherForDump(jni, reserved);
    if (!holder) {
        values.Clear();
        LocalRef<jclass> objectClass(jni, jni->FindClass("java/lang/Object"));
        if (!ExceptionRaised(jni, "FindClass(java.lang.Object)"))
            holder = jni->NewObjectArray(reserved, objectClass.Get(), nullptr);
        if (ExceptionRaised(jni, "NewObjectArray") || !holder)
            return Error("Out of memory for the holder of a snapshot from a heap dump");
    }
    for (size_t i = 0; i < values.Count(); i++)
        plan.values.push_back({values.ValueClassTag(i), values.ValueFieldIndex(i)});

    jint slot = 0;
    jni->SetObjectArrayElement(holder, slot++, holder);
    for (jint i = 0; i < classCount; i++) jni->SetObjectArrayElement(holder, slot++, loaded[i]);
    for (jint i = 0; i < threadCount; i++) {
        jni->SetObjectArrayElement(holder, slot++, threads[i]);
        jni->DeleteLocalRef(threads[i]);
    }
    for (jobject object : rootObjects) jni->SetObjectArrayElement(holder, slot++, object);
    if (ExceptionRaised(jni, "SetObjectArrayElement")) return Error("Cannot fill the holder of a snapshot from a heap dump");
    return Error();
}

Error DumpSource::MeasureArrays() {
    LocalRef<jclass> objectClass(jni, jni->FindClass("java/lang/Object"));
    if (ExceptionRaised(jni, "FindClass(java.lang.Object)")) return Error("Cannot measure the JVM's arrays");
    int64_t sizes[F::BASIC_TYPES][MEASURED_LENGTHS];
    for (uint8_t type = F::OBJECT; type < F::BASIC_TYPES; type++) {
        if (type != F::OBJECT && !PrimitiveArrayName(type)) continue;
        for (jint length = 0; length < MEASURED_LENGTHS; length++) {
            LocalRef<jarray> array(jni, NewArray(jni, type, length, objectClass.Get()));
            jlong size = 0;
            if (ExceptionRaised(jni, "New array") || !array.Get() ||
                !CheckJvmtiError(jvmti->GetObjectSize(array.Get(), &size), "GetObjectSize"))
                return Error("Cannot measure the JVM's arrays");
            sizes[type][length] = size;
        }
    }
    // Bytes grow by the alignment, one byte at a time.
    int64_t alignment = 0;
    for (jint length = 1; length < MEASURED_LENGTHS; length++) {
        const int64_t step = sizes[F::BYTE][length] - sizes[F::BYTE][length - 1];
        if (step > 0 && (alignment == 0 || step < alignment)) alignment = step;
    }
    if (alignment <= 0) return Error("Cannot measure the JVM's arrays");
    plan.arrays.alignment = alignment;
    for (uint8_t type = F::OBJECT; type < F::BASIC_TYPES; type++) {
        if (type != F::OBJECT && !PrimitiveArrayName(type)) continue;
        bool fitted = false;
        for (int64_t element : {int64_t(F::TypeSize(type, 4)), int64_t(8)}) {
            for (int64_t base = 0; base <= 64 && !fitted; base++) {
                fitted = true;
                for (jint length = 0; length < MEASURED_LENGTHS && fitted; length++)
                    fitted = Aligned(base + length * element, alignment) == sizes[type][length];
                if (fitted) {
                    plan.arrays.base[type] = base;
                    plan.arrays.element[type] = element;
                }
            }
            if (fitted) break;
        }
        if (!fitted) return Error("Cannot measure the JVM's arrays");
    }
    return Error();
}

int64_t DumpSource::InstanceSize(uint32_t slot) {
    jclass clazz = static_cast<jclass>(classes[slot]);
    jint status = 0;
    CheckJvmtiError(jvmti->GetClassStatus(clazz, &status), "GetClassStatus");
    // An initialized class only: allocating would run another's initializer.
    if ((status & JVMTI_CLASS_STATUS_INITIALIZED) && !(status & (JVMTI_CLASS_STATUS_ARRAY | JVMTI_CLASS_STATUS_PRIMITIVE))) {
        LocalRef<jobject> instance(jni, jni->AllocObject(clazz));
        if (jni->ExceptionCheck()) jni->ExceptionClear();
        jlong size = 0;
        if (instance.Get() && CheckJvmtiError(jvmti->GetObjectSize(instance.Get(), &size), "GetObjectSize"))
            return size;
    }
    // Not to be allocated: the end of its last field, as the JVM laid them out.
    return SizeFromOffsets(clazz);
}

int64_t DumpSource::SizeFromOffsets(jclass clazz) {
    LocalFrame scope(jni, 32);
    int64_t end = plan.arrays.base[F::INT] - 4;  // the header
    LocalRef<jclass> unsafeClass(jni, jni->FindClass("jdk/internal/misc/Unsafe"));
    LocalRef<jclass> classClass(jni, jni->FindClass("java/lang/Class"));
    LocalRef<jclass> fieldClass(jni, jni->FindClass("java/lang/reflect/Field"));
    if (ExceptionRaised(jni, "FindClass") || !scope.Pushed()) return Aligned(end, plan.arrays.alignment);
    jmethodID getUnsafe = jni->GetStaticMethodID(unsafeClass.Get(), "getUnsafe", "()Ljdk/internal/misc/Unsafe;");
    jmethodID offsetOf = jni->GetMethodID(unsafeClass.Get(), "objectFieldOffset", "(Ljava/lang/reflect/Field;)J");
    jmethodID declared = jni->GetMethodID(classClass.Get(), "getDeclaredFields", "()[Ljava/lang/reflect/Field;");
    jmethodID modifiers = jni->GetMethodID(fieldClass.Get(), "getModifiers", "()I");
    if (ExceptionRaised(jni, "GetMethodID") || !getUnsafe || !offsetOf || !declared || !modifiers)
        return Aligned(end, plan.arrays.alignment);
    LocalRef<jobject> unsafe(jni, jni->CallStaticObjectMethod(unsafeClass.Get(), getUnsafe));
    // Reflection neither initializes the class nor sees what the VM injects.
    for (jclass type = clazz; type && !ExceptionRaised(jni, "getDeclaredFields");) {
        LocalRef<jobjectArray> fields(jni, static_cast<jobjectArray>(jni->CallObjectMethod(type, declared)));
        const jint count = fields.Get() ? jni->GetArrayLength(fields.Get()) : 0;
        for (jint i = 0; i < count; i++) {
            LocalRef<jobject> field(jni, jni->GetObjectArrayElement(fields.Get(), i));
            if ((jni->CallIntMethod(field.Get(), modifiers) & 0x0008) != 0) continue;
            const jlong offset = jni->CallLongMethod(unsafe.Get(), offsetOf, field.Get());
            JvmtiMemory<char> signature(jvmti);
            if (ExceptionRaised(jni, "objectFieldOffset") ||
                !CheckJvmtiError(jvmti->GetFieldName(type, jni->FromReflectedField(field.Get()), nullptr,
                                                     signature.Out(), nullptr),
                                 "GetFieldName"))
                continue;
            const int64_t last = offset + ValueBytes(signature.Get() ? signature.Get() : "", plan.arrays.element[F::OBJECT]);
            if (last > end) end = last;
        }
        jclass super = jni->GetSuperclass(type);
        if (type != clazz) jni->DeleteLocalRef(type);
        type = super;
    }
    return Aligned(end, plan.arrays.alignment);
}

jint DumpSource::FieldIndex(uint32_t slot, uint32_t declaring, const std::string& name, bool isStatic) const {
    const JvmClassInfo* record = classRecords[slot];
    const JvmClassInfo* owner = classRecords[declaring];
    if (!record || !owner) return -1;
    for (const JvmFieldInfo& field : record->GetMasterFields()) {
        if (field.GetName() != name || ((field.GetModifiers() & 0x0008) != 0) != isStatic) continue;
        const JvmInterfaceInfo* defining = field.GetDefiningClass();
        if (defining && *defining->GetJavaType() == *owner->GetJavaType()) return field.GetIndex();
    }
    return -1;
}

Error DumpSource::Convert(HeapDumper& dumper, CancelCheck* cancelCheck) {
    cancel = cancelCheck;
    VeskLogger::LogDebug("Converting heap dump %s", dumper.DumpPath().c_str());
    std::string error;
    DumpConverter converter(plan, *this);
    DumpConverter::Result result = DumpConverter::Result::FAILED;
    try {
        result = converter.Convert(dumper.DumpPath().c_str(), error);
    } catch (const std::exception& e) {
        error = std::string("Cannot convert the heap dump: ") + e.what();
    }
    dumper.Remove();
    VeskLogger::LogDebug("Heap dump converted, objects=%" PRIu64 ", extra.roots=%" PRIu64 ", read.again=%" PRIu64
                         ", root.size.mismatches=%" PRIu64 ", refs=%" PRId64,
                         converter.IndexedObjects(), converter.ExtraRoots(), converter.ReadAgain(),
                         converter.SizeMismatches(), info.GetHeapRefCount());
    if (result == DumpConverter::Result::CANCELLED) VeskLogger::LogDebug("Heap dump conversion cancelled");
    if (result == DumpConverter::Result::FAILED) return Error(error);
    return Error();
}

bool DumpSource::Add(const HeapRecord::Captured& record) { return info.AddRecord(record); }

bool DumpSource::Cancelled() { return cancel && cancel->Cancelled(); }

}  // namespace Orlo
