/* Machine-dependent JNI definitions for Windows x64, for cross-builds with JDKs that ship only their own
 * platform's copy of this header. On a Windows JDK the build uses the JDK's copy instead. */
#ifndef VELLORAN_JNI_MD_H
#define VELLORAN_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

/* Windows is LLP64: long is 32 bits, so jint is long there, as in the Windows JDK. */
typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
