// Many readers and one writer on a published table set: run under
// ThreadSanitizer (label "threaded").  Every reader must see a whole
// table set, never one mixing two publications or one already freed.
#include "agent/snapshot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct table_set {
    std::vector<int> rows;
    int count;
};

std::shared_ptr<const table_set> make_set(int generation)
{
    auto set = std::make_shared<table_set>();
    set->rows.assign(static_cast<size_t>(generation % 50 + 1), generation);
    set->count = static_cast<int>(set->rows.size());
    return set;
}

TEST(Published, ReadersSeeWholeSetsWhileOneWriterPublishes)
{
    published<table_set> tables;
    tables.publish(make_set(0));
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};

    std::vector<std::thread> readers;
    for (int r = 0; r < 4; r++) {
        readers.emplace_back([&, r] {
            while (!done.load()) {
                // Reader 0 stands for the main thread's handlers.
                auto set = r == 0 ? tables.hold() : tables.now();
                if (set->count != static_cast<int>(set->rows.size()))
                    torn++;
                for (int value : set->rows)
                    if (value != set->rows.front())
                        torn++;
            }
        });
    }
    for (int generation = 1; generation <= 20000; generation++)
        tables.publish(make_set(generation));
    done = true;
    for (auto &reader : readers)
        reader.join();

    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(tables.now()->rows.front(), 20000);
    tables.clear();
    EXPECT_EQ(tables.now(), nullptr);
}

} // namespace
