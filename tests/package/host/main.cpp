// A host application that knows the libraries only through their installed package.
#include <zelto/ZeltoPayloadCompensator.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <cstdio>
#include <type_traits>

int main() {
  static_assert(zelto::Ok == 0 && zelto::Pending == 1 && zelto::Error == 5,
                "return codes keep their numbers");
  static_assert(!std::is_copy_constructible<zelto::ZeltoPayloadEstimator>::value, "");
  static_assert(!std::is_copy_constructible<zelto::ZeltoPayloadCompensator>::value, "");
  std::puts("host built against the installed package");
  return 0;
}
