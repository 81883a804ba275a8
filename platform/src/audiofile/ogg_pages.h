// The part of an Ogg file that libogg can decode: every page up to the last whole one.
#pragma once

#include <sys/types.h>

namespace xnq::audiofile {

// Whether the file starts with an Ogg page.
bool isOgg(int fd);

// The bytes of an Ogg file of size bytes up to the end of its last whole page, one whose bytes
// are all there and whose checksum holds; size when no such page lies near the end. A file cut
// short (a partial download) ends inside a page, which libogg can never deliver: a decoder shown
// the whole file waits for the rest of that page and, as libsndfile does, finds neither the
// last granule position (so no length) nor, for some streams, any audio at all.
off_t oggWholePagesLength(int fd, off_t size);

}  // namespace xnq::audiofile
