#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/UniqueFd.h"

namespace {

// A pipe whose write end is handed to the owner under test; the read end
// (kept here, non-blocking) tells whether that write end is still open: the
// end of the stream once it is closed, EAGAIN while it is not.
class Pipe {
public:
    Pipe() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            read_ = UniqueFd(ends[0]);
            write_ = ends[1];
        }
    }
    int takeWriteEnd() { return std::exchange(write_, -1); }
    bool writeEndOpen() const {
        char c;
        return ::read(read_.get(), &c, 1) < 0 && errno == EAGAIN;
    }
    ~Pipe() {
        if (write_ >= 0) ::close(write_);
    }

private:
    UniqueFd read_;
    int write_ = -1;
};

}  // namespace

TEST(UniqueFd, ClosesItsDescriptorWhenItGoes) {
    Pipe pipe;
    {
        UniqueFd owner(pipe.takeWriteEnd());
        ASSERT_TRUE(owner.valid());
        EXPECT_TRUE(pipe.writeEndOpen());
    }
    EXPECT_FALSE(pipe.writeEndOpen());
}

TEST(UniqueFd, MovingHandsOverOwnershipWithoutClosing) {
    Pipe pipe;
    UniqueFd first(pipe.takeWriteEnd());
    const int fd = first.get();
    UniqueFd second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), fd);
    UniqueFd third;
    third = std::move(second);
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(third.get(), fd);
    // Moving onto itself must not close what it holds.
    UniqueFd& same = third;
    third = std::move(same);
    EXPECT_EQ(third.get(), fd);
    EXPECT_TRUE(pipe.writeEndOpen());
}

TEST(UniqueFd, ReplacingOrResettingClosesTheEarlierDescriptor) {
    Pipe held;
    Pipe next;
    UniqueFd owner(held.takeWriteEnd());
    owner = UniqueFd(next.takeWriteEnd());
    EXPECT_FALSE(held.writeEndOpen());
    EXPECT_TRUE(next.writeEndOpen());
    owner.reset();
    EXPECT_FALSE(owner.valid());
    EXPECT_FALSE(next.writeEndOpen());
}

TEST(UniqueFd, ReleaseGivesTheDescriptorBackUnclosed) {
    Pipe pipe;
    const int fd = pipe.takeWriteEnd();
    int released;
    {
        UniqueFd owner(fd);
        released = owner.release();
        EXPECT_FALSE(owner.valid());
    }
    EXPECT_EQ(released, fd);
    EXPECT_TRUE(pipe.writeEndOpen());
    ::close(released);
    EXPECT_FALSE(pipe.writeEndOpen());
}
