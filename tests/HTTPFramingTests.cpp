#include "BrindleKit/HTTPFraming.h"

#include <string>

#include <gtest/gtest.h>

namespace brindle {
namespace {

using Status = FramedRequest::Status;

// A head that never ends is closed at the cap. Carriage returns are the worst case for the terminator search:
// without the resume hint, the million calls of this dribble would each search the whole buffer again and run
// far past the test timeout. Everything else of framing is replayed on the wire (tests/wire/framing.http).
TEST(HTTPFraming, CapsOnlyUnterminatedHeadsInLinearTime) {
    const std::string dribble(kHeadCap, '\r');
    std::size_t searchFrom = 0;
    for (std::size_t size = 0; size < dribble.size(); ++size) {
        const auto framed = frameNextRequest(std::string_view(dribble).substr(0, size), searchFrom);
        ASSERT_EQ(framed.status, Status::needMore) << size;
        searchFrom = framed.resumeAt;
    }
    EXPECT_EQ(frameNextRequest(dribble, searchFrom).status, Status::close) << "at the cap";
    const std::string bigHead = "GET / HTTP/1.1\r\nX-Big: " + std::string(kHeadCap, 'y') + "\r\n\r\n";
    EXPECT_EQ(frameNextRequest(bigHead).status, Status::complete) << "a terminated head of any size";
}

} // namespace
} // namespace brindle
