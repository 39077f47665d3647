// The root of the library's shared objects.
//
// It carries nothing and declares no virtual operation: classes that are
// destroyed through a base pointer declare their own virtual destructor.
// Objects are always released through pointer<T>, whose deleter knows the
// type that was allocated.
#pragma once

class jobject {
protected:
    jobject() = default;
    jobject(const jobject&) = default;
    jobject& operator=(const jobject&) = default;
    ~jobject() = default;
};
