#pragma once

#include <boost/shared_ptr.hpp>

namespace Nox {

// References that may outlive the object they name and never keep it alive: a holder can ask
// at any time whether the object still exists. The typed layer is CNoxReferConst.
class CNoxReferInner {
public:
    class CBase;

    // The box that outlives its object: points at the object until the object's destruction
    // reaches CBase's destructor, then at nothing.
    struct CRef {
        CBase* m_pBase;
    };

    // Base of every referable object. Being a virtual base of them, it is built before and
    // destroyed after every other part, so references resolve during the whole destruction of
    // the derived parts.
    class CBase {
    public:
        CBase() : m_spRef(new CRef{this}) {}

        // A copy is a new object: it gets a box of its own, and assignment keeps each box.
        CBase(const CBase&) : CBase() {}
        CBase& operator=(const CBase&) { return *this; }

        virtual ~CBase() {
            m_spRef->m_pBase = nullptr;
            m_spRef.reset();
        }

        // A new reference to this object.
        boost::shared_ptr<CRef> GetRef() const { return m_spRef; }

    private:
        boost::shared_ptr<CRef> m_spRef;
    };

    // Tag for the typed layer's second argument.
    struct tagGENERIC {};
};

}  // namespace Nox
