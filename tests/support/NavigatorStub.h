#pragma once
// A navigator (up to the fourth version) that answers every method with E_NOTIMPL: the base of the navigator
// doubles in the tests and benchmarks (kept free of the test framework for the latter). Derive and override
// what a double needs.
#include "support/FakeCom.h"

namespace ffmtest {

class NavigatorStub : public FakeObject<ffm::NavigatorBase<ITovFileNavigator4>> {
  public:
    using FakeObject::FakeObject;
};

} // namespace ffmtest
