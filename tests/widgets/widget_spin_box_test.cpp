#include "widgets/widget_spin_box.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QLineEdit>
#include <QTest>

namespace terval {
namespace {

// A number typed beyond the limits is brought to the nearer limit on Enter or when the box is
// left, never cut to another valid number.
TEST(LimitedSpinBox, TypedValueBeyondTheLimitsBecomesTheNearerLimit) {
    const struct {
        int minimum, maximum;
        const char* typed;
        bool enter;  // else the box is left
        int expected;
    } cases[] = {
        {1, 246, "300", true, 246}, {1, 246, "300", false, 246}, {1, 15, "20", true, 15},
        {1, 15, "20", false, 15},   {1, 246, "0", true, 1},      {1, 246, "123", true, 123},
        {1, 10, "7x", true, 7},  // not a digit: the key is refused
    };
    for (const auto& c : cases) {
        QWidget window;
        auto* box = new LimitedSpinBox(&window);
        auto* other = new QLineEdit(&window);
        other->move(0, 40);
        box->setRange(c.minimum, c.maximum);
        box->setValue(c.minimum + 1);
        window.show();
        QApplication::setActiveWindow(&window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, QString::fromLatin1(c.typed));
        if (c.enter) {
            QTest::keyClick(box, Qt::Key_Return);
        } else {
            other->setFocus();
        }
        EXPECT_EQ(box->value(), c.expected) << c.typed << (c.enter ? " Enter" : " left");
    }
}

}  // namespace
}  // namespace terval
