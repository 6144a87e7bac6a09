/* include/kestar.h as a C integrator includes it, with a host's use of the point
 * list's table of operations. Compiled with -pedantic -Werror: the header must
 * stay plain C. */
#include "kestar.h"

int KestarHeaderInC_ClassNameLength(const PointList* list);

int KestarHeaderInC_ClassNameLength(const PointList* list) {
    const KestarClassRecord* record = list->operations->classQuery(list);
    int length = 0;
    while (record->name[length] != '\0') ++length;
    list->operations->dump(list, (void*)0);
    return length + list->operations->selfCheck(list);
}
