/* Out-of-line destructor of the reference-counted base, so that its virtual table lives in
 * the library and every derived class shares it. */
#include <qv_base.h>

RefCountObject::~RefCountObject() {}
