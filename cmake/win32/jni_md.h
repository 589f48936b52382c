/* Machine-dependent JNI definitions for Windows x64, for cross-building
 * against a JDK that ships only the Linux variant of this header. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

/* 32 bits on Windows x64 whichever C type names it; int keeps the agent's
 * int counters interchangeable with jint on both platforms. */
typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
