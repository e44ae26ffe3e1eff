// The classes of the COM test servers, shared by the servers and the COM
// tests. One module serves all of them; each class id picks a behaviour.
// Thread: any.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace com_test {

// Served: makes a Counter.
constexpr const char* kServedClass = "{5E0C7A10-0000-4F00-8A00-00000000C0DE}";
// DllGetClassObject refuses it with CLASS_E_CLASSNOTAVAILABLE.
constexpr const char* kRefusedClass = "{5E0C7A10-0001-4F00-8A00-00000000C0DE}";
// The factory is handed out, but making an object fails with E_OUTOFMEMORY.
constexpr const char* kFailingClass = "{5E0C7A10-0002-4F00-8A00-00000000C0DE}";

// The one interface of the served class; its interface id is the class id.
struct ICounter : IUnknown {
    virtual int32_t Next() = 0;
};

// Data2 of the class ids above tells them apart.
enum : uint16_t { kServedVariant = 0, kRefusedVariant = 1, kFailingVariant = 2 };

}  // namespace com_test
