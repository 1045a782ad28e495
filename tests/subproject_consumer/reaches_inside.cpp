#include "json/json_value.h"
int main() { return 0; }
