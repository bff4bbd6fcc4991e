#pragma once

#include <boost/shared_ptr.hpp>

#include "CNoxReferInner.h"

namespace Nox {

// The typed layer of CNoxReferInner: T derives from CNoxReferConst<T, Tag>::CBase, and
// Resolve turns a reference back into a T*.
template <class T, class Tag>
class CNoxReferConst {
public:
    class CBase : public virtual CNoxReferInner::CBase {};

    // The object the reference names, or null when the reference is empty, the object is gone
    // or it is not a T. Only on a thread where the object cannot be destroyed meanwhile: the
    // box is read without a lock.
    static T* Resolve(const boost::shared_ptr<CNoxReferInner::CRef>& ref) {
        if (!ref) return nullptr;
        CNoxReferInner::CBase* pBase = ref->m_pBase;
        if (!pBase) return nullptr;
        // A virtual base allows no static downcast.
        return dynamic_cast<T*>(pBase);
    }
};

}  // namespace Nox
