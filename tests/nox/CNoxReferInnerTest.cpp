// References that outlive their object: resolution before, during and after destruction,
// and the lifetime of the shared box.
#include <gtest/gtest.h>

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include <memory>

#include "CNoxReferConst.h"
#include "CNoxReferInner.h"

namespace {

using Nox::CNoxReferInner;
using Ref = boost::shared_ptr<CNoxReferInner::CRef>;

class CThing;
using CThingRefer = Nox::CNoxReferConst<CThing, CNoxReferInner::tagGENERIC>;

// A member that looks at its owner through a reference while it is destroyed.
struct CWatcher {
    Ref m_ref;
    CThing* m_pExpected = nullptr;
    CThing** m_ppSeen = nullptr;
    ~CWatcher() {
        if (m_ppSeen) *m_ppSeen = CThingRefer::Resolve(m_ref);
    }
};

class CThing : public CThingRefer::CBase {
public:
    CThing** m_ppSeenInDestructor = nullptr;
    CWatcher m_watcher;

    ~CThing() override {
        if (m_ppSeenInDestructor) *m_ppSeenInDestructor = CThingRefer::Resolve(GetRef());
    }
};

class COther : public Nox::CNoxReferConst<COther, CNoxReferInner::tagGENERIC>::CBase {};

}  // namespace

TEST(NoxRefer, ResolvesWhileTheObjectLivesAndToNullAfterwards) {
    auto spThing = std::make_unique<CThing>();
    const Ref ref = spThing->GetRef();
    EXPECT_EQ(spThing.get(), CThingRefer::Resolve(ref));
    spThing.reset();
    EXPECT_EQ(nullptr, CThingRefer::Resolve(ref));
}

TEST(NoxRefer, TheBoxIsFreedWithTheLastReferenceNotBefore) {
    auto spThing = std::make_unique<CThing>();
    Ref ref = spThing->GetRef();
    const boost::weak_ptr<CNoxReferInner::CRef> box(ref);
    spThing.reset();
    EXPECT_FALSE(box.expired());
    EXPECT_EQ(nullptr, ref->m_pBase);
    Ref copy = ref;
    ref.reset();
    EXPECT_FALSE(box.expired());
    copy.reset();
    EXPECT_TRUE(box.expired());
}

TEST(NoxRefer, TheBoxGoesWithTheObjectWhenNoReferenceIsLeft) {
    auto spThing = std::make_unique<CThing>();
    const boost::weak_ptr<CNoxReferInner::CRef> box(spThing->GetRef());
    EXPECT_FALSE(box.expired());
    spThing.reset();
    EXPECT_TRUE(box.expired());
}

TEST(NoxRefer, StillResolvesWhileTheDerivedPartsAreDestroyed) {
    auto spThing = std::make_unique<CThing>();
    CThing* const pThing = spThing.get();
    CThing* pSeenInDestructor = nullptr;
    CThing* pSeenByMember = nullptr;
    spThing->m_ppSeenInDestructor = &pSeenInDestructor;
    spThing->m_watcher.m_ref = spThing->GetRef();
    spThing->m_watcher.m_ppSeen = &pSeenByMember;
    const Ref ref = spThing->GetRef();
    spThing.reset();
    EXPECT_EQ(pThing, pSeenInDestructor);
    EXPECT_EQ(pThing, pSeenByMember);
    EXPECT_EQ(nullptr, CThingRefer::Resolve(ref));
}

TEST(NoxRefer, AnEmptyReferenceResolvesToNull) { EXPECT_EQ(nullptr, CThingRefer::Resolve(Ref())); }

TEST(NoxRefer, AReferenceToAnotherTypeResolvesToNull) {
    COther other;
    EXPECT_EQ(nullptr, CThingRefer::Resolve(other.GetRef()));
    EXPECT_EQ(&other,
              (Nox::CNoxReferConst<COther, CNoxReferInner::tagGENERIC>::Resolve(other.GetRef())));
}

TEST(NoxRefer, ACopyIsANewObjectWithABoxOfItsOwn) {
    CThing original;
    CThing copy(original);
    EXPECT_NE(original.GetRef(), copy.GetRef());
    EXPECT_EQ(&original, CThingRefer::Resolve(original.GetRef()));
    EXPECT_EQ(&copy, CThingRefer::Resolve(copy.GetRef()));
}
