// tarnwick-check: checks a rule file (see rulecheck.h).
#include "check/rulecheck.h"

int main(int argc, char **argv) {
    return RuleCheckMain(argc, argv);
}
