// Foreign objects: reference counting from this library, contents and clean-up from another.
#include "cf_foreign.h"
#include "objects.h"

namespace bw::sim::cf {
namespace {

struct ForeignObject : ObjectHeader {
    static constexpr TypeId kType = kForeignType;
    ForeignObject(void* payload, void (*finalize)(void*))
        : ObjectHeader(kType, false), payload(payload), finalize(finalize) {}
    void* const payload;
    void (*const finalize)(void*);
};

}  // namespace

void DestroyForeign(ObjectHeader* header) {
    auto* object = static_cast<ForeignObject*>(header);
    if (object->finalize != nullptr) object->finalize(object->payload);
    object->~ForeignObject();
}

}  // namespace bw::sim::cf

using namespace bw::sim::cf;

extern "C" {

CFTypeRef BwSimCFCreateForeign(void* payload, void (*finalize)(void*)) {
    return Handle<CFTypeRef>(NewObject<ForeignObject>(payload, finalize));
}

void* BwSimCFForeignPayload(CFTypeRef object) {
    const ForeignObject* foreign = As<ForeignObject>(object);
    return foreign != nullptr ? foreign->payload : nullptr;
}

CFTypeID BwSimCFForeignGetTypeID(void) {
    return kForeignType;
}

}  // extern "C"
