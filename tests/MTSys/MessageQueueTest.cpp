#include <gtest/gtest.h>
#include <vector>
#include "MTSys.h"

namespace {
// A record that notes its deletion.
struct Record {
    Record(int id, std::vector<int>* deleted = nullptr) : id(id), deleted(deleted) {}
    ~Record() { if (deleted) deleted->push_back(id); }
    int id;
    std::vector<int>* deleted;
};
}  // namespace

TEST(MessageQueue, ClearAndDestructionDeleteWhatWaits) {
    std::vector<int> deleted;
    {
        MTSys::MessageQueue<Record> queue;
        for (int id = 1; id <= 3; ++id) queue.Post(new Record(id, &deleted));
        queue.Clear();
        EXPECT_EQ(std::vector<int>({3, 2, 1}), deleted) << "newest first";
        EXPECT_FALSE(queue.GetEvent().IsSignalled());
        EXPECT_EQ(nullptr, queue.Take());
        queue.Post(new Record(5, &deleted));
        queue.Post(new Record(6, &deleted));
    }
    EXPECT_EQ(std::vector<int>({3, 2, 1, 5, 6}), deleted) << "the queue deletes the records it still holds";
}
