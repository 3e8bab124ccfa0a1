/* A library built twice by the tests: the second build inserts a function
 * near the start and changes a string, so every call, jump and absolute
 * address after them moves. */
#include <string.h>

#define STEP(n)                                                            \
  __declspec(noinline) int step_##n(int x) {                               \
    static const char name[] = "step " #n;                                 \
    if (x > (n)) return step_table[(n) % 8](x - 1) + (int)strlen(name);    \
    return x * (n) + (int)name[0];                                         \
  }

typedef int (*step_fn)(int);
extern step_fn step_table[8];

#ifdef SECOND_BUILD
__declspec(noinline) int inserted(int x) {
  static const char text[] = "inserted";
  int sum = 0;
  for (int i = 0; i < x; ++i) sum += text[i % 8] * step_table[i % 8](i);
  return sum;
}
static const char greeting[] = "hello from the second build";
#else
static const char greeting[] = "hello from the first build";
#endif

#define TEN(p) STEP(p##0) STEP(p##1) STEP(p##2) STEP(p##3) STEP(p##4) \
               STEP(p##5) STEP(p##6) STEP(p##7) STEP(p##8) STEP(p##9)
#define HUNDRED(p) TEN(p##0) TEN(p##1) TEN(p##2) TEN(p##3) TEN(p##4) \
                   TEN(p##5) TEN(p##6) TEN(p##7) TEN(p##8) TEN(p##9)
HUNDRED(1) HUNDRED(2) HUNDRED(3) HUNDRED(4) HUNDRED(5) HUNDRED(6) HUNDRED(7) HUNDRED(8)

step_fn step_table[8] = {step_100, step_210, step_320, step_430, step_540, step_650, step_760, step_870};

#define CALL(p) step_##p##00(x) + step_##p##33(x) + step_##p##77(x)

__declspec(dllexport) int run(int x) {
  int total = CALL(1) + CALL(2) + CALL(3) + CALL(4) + CALL(5) + CALL(6) + CALL(7) + CALL(8);
#ifdef SECOND_BUILD
  total += inserted(x);
#endif
  return total + (int)strlen(greeting);
}

__declspec(dllexport) const char* text(void) { return greeting; }
