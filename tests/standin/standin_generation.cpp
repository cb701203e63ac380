#include "standin_generation.h"

#include <string.h>

#include "standin_store.h"

int IsStandinGenerationWord(const char *word)
{
    return word != NULL && (strcmp(word, STANDIN_NO_GENERATION) == 0 || FindStandinGeneration(word) != NULL);
}

const StandinGeneration *FindStandinGeneration(const char *name)
{
    if (name == NULL)
        return NULL;
    for (const StandinGeneration &generation : StandinGenerations) {
        if (strcmp(generation.name, name) == 0)
            return &generation;
    }
    return NULL;
}

const StandinGeneration *ReadChosenStandinGeneration(void)
{
    char name[32];
    ReadStandinGenerationName(name, sizeof(name));
    return FindStandinGeneration(name);
}

long StandinStateNumber(const StandinGeneration *generation, StandinState state)
{
    return generation->states[state];
}

StandinState StandinStateOf(const StandinGeneration *generation, long number)
{
    for (int state = 0; state < StandinStateCount; state++) {
        if (generation->states[state] == number)
            return (StandinState)state;
    }
    return StandinStateCount;
}
