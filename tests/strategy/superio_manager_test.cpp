#include "strategy/superio_manager.h"
#include "support/fake_strategy.h"

#include <gtest/gtest.h>

namespace {

TEST(SuperIOManager, WithoutDetectedStrategyNamesUnknownAndIgnoresTemplates)
{
    auto journal = std::make_shared<Journal>();
    auto board = std::make_shared<FakeStrategy>("Tarvelo", journal);
    SuperIOManager manager;
    manager.strategies.push_back(board);
    EXPECT_EQ(manager.vendor(), "Unknown");
    EXPECT_EQ(manager.model(), "Unknown");
    manager.setDconCommands(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d"));
    EXPECT_EQ(board->handedDcon(), (QStringList { QString(), QString(), QString(), QString() }));
}

TEST(SuperIOManager, ForwardsToTheDetectedStrategyInOrder)
{
    auto journal = std::make_shared<Journal>();
    auto board = std::make_shared<FakeStrategy>("Tarvelo", journal, "TV-100");
    SuperIOManager manager;
    manager.current = board;
    EXPECT_EQ(manager.vendor(), "Tarvelo");
    EXPECT_EQ(manager.model(), "TV-100");
    manager.setDconCommands(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d"));
    EXPECT_EQ(board->handedDcon(),
        (QStringList { QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d") }));
    // Empty texts replace as well.
    manager.setDconCommands(QString(), QStringLiteral("b"), QString(), QString());
    EXPECT_EQ(board->handedDcon(), (QStringList { QString(), QStringLiteral("b"), QString(), QString() }));
}

TEST(IVendorStrategy, SetCommandsReplacesAllThreeListsEvenWithEmptyOnes)
{
    FakeStrategy chip("Fintek", std::make_shared<Journal>());
    chip.setCommands({ { 0x07, 0x07 } }, { { 0xF5, 0x00 } }, { { 0xF6, 0x1E } });
    EXPECT_EQ(chip.handedFeed(), (RegList { { 0xF6, 0x1E } }));
    chip.setCommands({}, {}, {});
    EXPECT_TRUE(chip.handedStart().empty());
    EXPECT_TRUE(chip.handedStop().empty());
    EXPECT_TRUE(chip.handedFeed().empty());
}

} // namespace
