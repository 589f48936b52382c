#include <gtest/gtest.h>

#include <string>

#include "OrloUtils.h"

using Orlo::OrloUtils;

TEST(OrloUtilsTest, JvmtiAndJniErrorNamesWithoutEnvironment) {
    std::string out;
    EXPECT_EQ(OrloUtils::FormatJvmtiError(JVMTI_ERROR_THREAD_NOT_SUSPENDED, out),
              "JVMTI_ERROR_THREAD_NOT_SUSPENDED(13)");
    EXPECT_EQ(OrloUtils::FormatJvmtiError(JVMTI_ERROR_THREAD_SUSPENDED, out),
              "JVMTI_ERROR_THREAD_SUSPENDED(14)");
    EXPECT_EQ(OrloUtils::FormatJvmtiError(static_cast<jvmtiError>(12), out),
              "<UNKNOWN_ERROR_CODE>(12)");
    // Past the last JVMTI error, yet a value of the enumeration (0..127).
    EXPECT_EQ(OrloUtils::FormatJvmtiError(static_cast<jvmtiError>(120), out),
              "<UNKNOWN_ERROR_CODE>(120)");
    EXPECT_EQ(OrloUtils::FormatJvmtiError(JVMTI_ERROR_MUST_POSSESS_CAPABILITY, out),
              "JVMTI_ERROR_MUST_POSSESS_CAPABILITY(99)");
    EXPECT_EQ(OrloUtils::FormatJvmtiError(JVMTI_ERROR_INVALID_ENVIRONMENT, out),
              "JVMTI_ERROR_INVALID_ENVIRONMENT(116)");
    EXPECT_EQ(OrloUtils::FormatJniError(-3, out), "JNI_EVERSION(-3)");
    EXPECT_EQ(OrloUtils::FormatJniError(0, out), "JNI_OK(0)");
    EXPECT_EQ(OrloUtils::FormatJniError(-7, out), "<UNKNOWN_ERROR_CODE>(-7)");
}

TEST(OrloUtilsTest, HeapReferenceKinds) {
    std::string out;
    EXPECT_EQ(OrloUtils::FormatHeapReference(JVMTI_HEAP_REFERENCE_CLASS, out), "CLASS");
    EXPECT_EQ(OrloUtils::FormatHeapReference(JVMTI_HEAP_REFERENCE_STACK_LOCAL, out),
              "STACK_LOCAL");
    EXPECT_EQ(OrloUtils::FormatHeapReference(JVMTI_HEAP_REFERENCE_OTHER, out), "OTHER");
    EXPECT_EQ(OrloUtils::FormatHeapReference(static_cast<jvmtiHeapReferenceKind>(11), out),
              "11");
}

TEST(OrloUtilsTest, TypeNamesFromSignatures) {
    std::string out;
    EXPECT_EQ(OrloUtils::DeriveTypeFromJvmSignature("Z", out), "boolean");
    EXPECT_EQ(OrloUtils::DeriveTypeFromJvmSignature("J", out), "long");
    EXPECT_EQ(OrloUtils::DeriveTypeFromJvmSignature("[B", out), "byte[]");
    EXPECT_EQ(OrloUtils::DeriveTypeFromJvmSignature("[[I", out), "int[][]");
    EXPECT_EQ(OrloUtils::DeriveTypeFromJvmSignature("Ljava/lang/String;", out),
              "java.lang.String");
    EXPECT_EQ(OrloUtils::DeriveTypeFromJvmSignature("[Ljava/lang/Object;", out),
              "java.lang.Object[]");
    EXPECT_EQ(OrloUtils::DeriveTypeFromJvmSignature("[[Ljava/util/Map$Entry;", out),
              "java.util.Map$Entry[][]");
    EXPECT_EQ(OrloUtils::DeriveTypeFromJvmSignature("", out), "");
    EXPECT_EQ(OrloUtils::DeriveTypeFromJvmSignature("Qodd/name", out), "Qodd.name");
}

TEST(OrloUtilsTest, CommandNamesAreExact) {
    EXPECT_EQ(OrloUtils::MapCommandTypeString("RUNTIME"), 0);
    EXPECT_EQ(OrloUtils::MapCommandTypeString("SYSTEM_PROPS"), 1);
    EXPECT_EQ(OrloUtils::MapCommandTypeString("SNAPSHOT"), 2);
    EXPECT_EQ(OrloUtils::MapCommandTypeString("PERFORM_GC"), 3);
    EXPECT_EQ(OrloUtils::MapCommandTypeString("runtime"), -1);
    EXPECT_EQ(OrloUtils::MapCommandTypeString(""), -1);
}
