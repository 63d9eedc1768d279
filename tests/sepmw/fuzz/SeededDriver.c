/* Runs the fuzz target on inputs drawn from a fixed seed, for builds without libFuzzer. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

int LLVMFuzzerInitialize(int *argc, char ***argv);
int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static uint64_t s_State = 0x9E3779B97F4A7C15u;

static uint64_t Next(void)
{
    s_State ^= s_State << 13;
    s_State ^= s_State >> 7;
    s_State ^= s_State << 17;
    return s_State;
}

int main(int argc, char **argv)
{
    unsigned long runs = argc > 1 ? strtoul(argv[1], NULL, 10) : 10000;
    LLVMFuzzerInitialize(&argc, &argv);
    static uint8_t input[2048];
    for (unsigned long run = 0; run < runs; run++) {
        size_t size = (size_t)(Next() % sizeof input);
        for (size_t i = 0; i < size; i++)
            input[i] = (uint8_t)(Next() >> 56);
        LLVMFuzzerTestOneInput(input, size);
    }
    printf("%lu inputs\n", runs);
    return 0;
}
