#include "platform/form/form.h"

namespace qz::form {

Form1::Form1()
    : tpict_(kTPictLayout.left, kTPictLayout.top, kTPictLayout.width, kTPictLayout.height),
      picture1_(kPicture1Layout.left, kPicture1Layout.top, kPicture1Layout.width,
                kPicture1Layout.height) {}

Form1& GetForm1() {
  thread_local Form1 form;
  return form;
}

}  // namespace qz::form
