#include "junk_content.h"

namespace bw::sim {

bool AddJunk(ImageWriter&, const ImageOptions&) {
    return true;
}

}  // namespace bw::sim
