#include "applications_content.h"

namespace bw::sim {

bool AddApplications(ImageWriter&, const ImageOptions&) {
    return true;
}

}  // namespace bw::sim
