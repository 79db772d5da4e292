// thread_annotations.h: lock annotations. They document on GCC and are
// checked by Clang's -Wthread-safety.
#pragma once

#if defined(__clang__)
#define ZUV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZUV_THREAD_ANNOTATION(x)
#endif

#define ZUV_GUARDED_BY(x) ZUV_THREAD_ANNOTATION(guarded_by(x))
#define ZUV_PT_GUARDED_BY(x) ZUV_THREAD_ANNOTATION(pt_guarded_by(x))
#define ZUV_REQUIRES(...) ZUV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZUV_LOCKS_EXCLUDED(...) ZUV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZUV_ACQUIRE(...) ZUV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZUV_RELEASE(...) ZUV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
