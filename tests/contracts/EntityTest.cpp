// Kiln::Entity and its notifiees: visits that survive members leaving mid-visit, the
// zero-reference hand-over (once, one free), full names across re-parenting.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contracts/Basalt/Exception.h"
#include "contracts/Kiln/Entity.h"
#include "tests/support/TraceCapture.h"

namespace {

using Notifiee = Kiln::PtrInterface::NotifieeConst;

struct Node : Kiln::Entity {
    Node(const char* name, int* destroyed = nullptr) : Entity(name), destroyed_(destroyed) {}
    ~Node() override {
        if (destroyed_) ++*destroyed_;
    }
    void handleParent(const Kiln::Ptr<Kiln::Entity>& parent) override {
        if (refuse) throw Basalt::InvalidInitializeException("refused");
        parents.push_back(parent ? parent->name().stdString() : "-");
    }
    int* destroyed_;
    bool refuse = false;
    std::vector<std::string> parents;
};

// Logs its calls; on an attribute event it may remove members (itself included) or add one.
struct Watcher : Notifiee {
    Watcher(char id, std::string* log, ZeroReferences z = ZeroReferences::ignored)
        : Notifiee(z), id_(id), log_(log) {}
    void onAttribute(Kiln::AttributeId a) override { act(a, nullptr); }
    void onAttribute(Kiln::AttributeId a, const void* key) override { act(a, key); }
    void act(Kiln::AttributeId a, const void* key) {
        *log_ += id_;
        if (key) *log_ += *static_cast<const char*>(key);
        EXPECT_EQ(a, 258u);
        for (Notifiee* n : removes) notifierList->deleteMember(n);
        if (adds) notifierList->newMember(adds);
        removes.clear(), adds = nullptr;
    }
    void onZeroReferences() override;
    char id_;
    std::string* log_;
    Kiln::NotifieeListPtr* notifierList = nullptr;
    std::vector<Notifiee*> removes;
    Kiln::Ptr<Notifiee> adds;
    // Zero-reference behaviour.
    bool keep = false, leave = false, tempRef = false;
    Kiln::Ptr<Kiln::Entity>* holder = nullptr;
};

void Watcher::onZeroReferences() {
    *log_ += 'z';
    auto* entity = const_cast<Kiln::Entity*>(static_cast<const Kiln::Entity*>(notifier()));
    if (tempRef) Kiln::Ptr<Kiln::Entity>{entity};  // taken and dropped: must not re-enter
    if (keep) *holder = entity;
    if (leave) isRegisteredNotifieeIs(false);
}

TEST(NotifieeList, VisitSurvivesMembersRemovingThemselvesOrOthersAndAddingNew) {
    std::string log;
    Kiln::Ptr<Node> node = new Node("n");
    Kiln::NotifieeListPtr* list = node->notifieeList();
    std::vector<Kiln::Ptr<Watcher>> w;
    for (char id : std::string("abcd")) {
        w.push_back(new Watcher(id, &log));
        w.back()->notifierList = list;
        w.back()->hasNotificationActiveIs(id != 'd');
        w.back()->notifierIs(node.ptr());
        w.back()->isRegisteredNotifieeIs(true);
    }
    // a removes c (not yet visited) and itself; b adds e, then removes itself and a again.
    w[0]->removes = {w[2].ptr(), w[0].ptr()};
    w[1]->adds = new Watcher('e', &log);
    w[1]->adds->hasNotificationActiveIs(true);
    w[1]->removes = {w[1].ptr(), w[0].ptr()};
    const char key = '!';
    list->visit(258, &key);
    EXPECT_EQ(log, "a!b!");  // c removed before its turn, d inactive, e waits for the next visit
    EXPECT_EQ(list->members(), 2u);
    EXPECT_FALSE(w[0]->isRegisteredNotifiee());
    w.clear();  // the removed members are freed here; the list still holds d and e
    log.clear();
    list->visit(258);
    EXPECT_EQ(log, "e");
}

struct HandOverCase {
    const char* name;
    bool active, keep, leave, tempRef;
    const char* logAfterDrop;
    int destroyedAfterDrop;
};

class ZeroReferences : public ::testing::TestWithParam<HandOverCase> {};

TEST_P(ZeroReferences, LastReferenceHandsOverOnceAndFreesOnce) {
    const HandOverCase& c = GetParam();
    std::string log;
    int destroyed = 0;
    Kiln::Ptr<Kiln::Entity> holder;
    Kiln::Ptr<Kiln::Entity> node = new Node("n", &destroyed);
    {
        Kiln::Ptr<Watcher> w = new Watcher('w', &log, Notifiee::ZeroReferences::handled);
        w->hasNotificationActiveIs(c.active);
        w->keep = c.keep, w->leave = c.leave, w->tempRef = c.tempRef, w->holder = &holder;
        w->notifierIs(node.ptr());
        w->isRegisteredNotifieeIs(true);
    }
    node = nullptr;
    EXPECT_EQ(log, c.logAfterDrop);
    EXPECT_EQ(destroyed, c.destroyedAfterDrop);
    holder = nullptr;  // a kept entity goes with the holder's reference, not handed over again
    EXPECT_EQ(log, c.logAfterDrop);
    EXPECT_EQ(destroyed, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Kiln, ZeroReferences,
    ::testing::Values(HandOverCase{"KeptThenReleased", true, true, true, false, "z", 0},
                      HandOverCase{"NotKeptStaysRegistered", true, false, false, false, "z", 1},
                      HandOverCase{"NotKeptLeaves", true, false, true, false, "z", 1},
                      HandOverCase{"TemporaryReference", true, false, false, true, "z", 1},
                      HandOverCase{"InactiveNotifiee", false, true, true, false, "", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Entity, FullNameFollowsReparentingAndRefusedParentsLeaveTheTreeAsItWas) {
    Kiln::Ptr<Node> a = new Node("a"), x = new Node("x"), b = new Node("b"), c = new Node("c");
    b->parentIs(a);
    c->parentIs(b);
    c->parentIs(b);  // no change, no call
    EXPECT_EQ(c->fullName(), "a/b/c");
    b->parentIs(x);
    EXPECT_EQ(c->fullName(), "x/b/c");
    b->parentIs(nullptr);
    EXPECT_EQ(b->parents, (std::vector<std::string>{"a", "x", "-"}));
    EXPECT_EQ(c->parents, (std::vector<std::string>{"b"}));

    b->parentIs(a);
    b->refuse = true;
    EXPECT_THROW(b->parentIs(x), Basalt::InvalidInitializeException);
    TestSupport::TraceCapture capture;
    EXPECT_THROW(a->parentIs(c), Basalt::AssertException);  // a would be its own ancestor
    EXPECT_EQ(c->fullName(), "a/b/c");
    EXPECT_EQ(a->parent(), nullptr);
}

}  // namespace
