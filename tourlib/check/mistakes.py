"""The words of each kind of mistake the diagnoses name, keyed by the rule's id: what the
mistake is, why it goes wrong, and the way out, each with the names the rule finds
({name}, {line}...) left to fill in. Student-facing text lives here, apart from the
rules that decide when it is said."""

WORDS = {
    "compile": (
        "the file does not compile",
        "the compiler says: {said}",
        "put right the line the compiler names; later errors often follow from the first"),
    "no_main": (
        "the file has no main()",
        "a program starts at main(), and the linker found none",
        "write the program's main(), as the lesson does"),
    "unknown_directive": (
        "an unknown directive: #pragma {pragma}",
        "the compiler ignores a pragma it does not know, so this code runs as if the line "
        "were not there: by one thread, or not divided",
        "spell it as OpenMP does: #pragma omp parallel, #pragma omp for, #pragma omp atomic"),
    "no_region": (
        "no parallel region",
        "without #pragma omp parallel the whole program runs on one thread: there is no team",
        "open a region with #pragma omp parallel (or #pragma omp parallel for on the loop)"),
    "nested_region": (
        "a parallel region inside another",
        "a parallel pragma inside a region opens a new team for every thread of the first "
        "(of one thread, as nesting is off), so each thread runs the whole loop",
        "inside a region, divide the loop with #pragma omp for, not parallel for"),
    "result_too_soon": (
        "a result written before the other threads have finished",
        "inside the region every thread writes it, each when it gets there, before the "
        "others have added their part",
        "write it once, in main, after the region: the join at its end waits for every thread"),
    "result_by_one_too_soon": (
        "a result written by one thread before the others have finished",
        "{by} lets one thread write it, but nothing makes that thread wait for the others' "
        "parts: {by} has no barrier before it",
        "write it in main after the region (the join waits for every thread), or put "
        "#pragma omp barrier before it"),
    "shared_loop_counter": (
        "the loop variable {name} is shared",
        "{name} is declared before the region (line {declared}), so every thread counts with "
        "the same variable and they skip or repeat each other's iterations",
        "declare it in the loop, for (int {name} = ...), so that each thread has its own"),
    "reads_other_iteration": (
        "an iteration reads the previous one's result",
        "each iteration reads an element of {name} that another iteration writes; the "
        "iterations run on different threads, in no fixed order",
        "compute each element from i alone (as the lesson does), so that iterations do not "
        "depend on each other"),
    "read_too_early": (
        "{name} read before the other threads have finished writing it",
        "this line reads {name}, which another thread writes at line {written} in the same "
        "region, and nothing makes it wait for that write",
        "put the wait between the two phases: end the first loop with its barrier (no "
        "nowait), or make them two regions, whose join waits for every thread"),
    "critical_against_atomic": (
        "{name} updated in a critical section but read atomically",
        "a critical section and an atomic operation do not exclude each other: the atomic "
        "read can meet the update half-way",
        "protect every access to {name} the same way: #pragma omp atomic for the update "
        "(cheaper, too), with the atomic read"),
    "private_needed": (
        "{name} is shared, but each thread needs its own",
        "{name} is declared before the region (line {declared}), so the team has one {name}, "
        "and each thread's value overwrites the others'",
        "declare {name} inside the region (or add private({name}) to the pragma), so that "
        "each thread has its own"),
    "unprotected_update": (
        "unprotected update of {name}",
        "{name} is declared before the region (line {declared}), so the whole team shares "
        "one {name}: two threads can read the same old value, and one update is lost",
        "make each update one indivisible step with #pragma omp atomic on the line before "
        "it{or}"),
    "plain_read": (
        "a plain read of {name} while other threads update it",
        "the updates of {name} are atomic, but this read is not: it can see a value half-way "
        "through another thread's update, and it comes before the others have finished",
        "read it with #pragma omp atomic read into a private variable, or read it in main "
        "after the region, when every update is done"),
    "uninitialised_copy": (
        "the private copy of {name} starts with no value",
        "private({name}) gives each thread a new {name} that is not set from main's: the "
        "first += adds to whatever was in memory",
        "set each thread's {name} inside the region before its loop ({name} = 0;), or use "
        "firstprivate({name}) to start from main's value"),
    "uninitialised_local": (
        "{name} starts with no value",
        "{name} is declared without a value (line {declared}), so the first add adds to "
        "whatever was in memory",
        "give it its start where it is declared (line {declared}: {name} = 0)"),
    "out_of_bounds": (
        "an index past the end of {name}",
        "an array of N elements has the indices 0 to N-1: the access lands on memory that "
        "belongs to something else",
        "count the loop from 0 to N-1 (i < N), and store what the lesson stores there"),
    "overflow": (
        "{name} is too narrow for its value",
        "{name} is a {type}, and line {line} makes it hold more than a {type} can: the "
        "value wraps around",
        "declare {name} as long (64 bits), and print it with %ld"),
    "for_instead_of_blocks": (
        "#pragma omp for where the lesson gives each thread its block by number",
        "the lesson's lines name each thread's block, computed from its number; with for "
        "the runtime chooses the blocks, so the blocks no longer follow the thread numbers "
        "the lesson prints",
        "compute each thread's first and last index from omp_get_thread_num(), as the lesson "
        "does, and loop over that block"),
    "loop_not_divided": (
        "the loop is not divided among the team",
        "without for, every thread of the region runs the whole loop",
        "put #pragma omp for before the loop inside the region (or parallel for)"),
    "schedule_differs": (
        "the loop is divided by {given}",
        "the lesson gives each thread one contiguous block, in thread order; other schedules "
        "hand out iterations in other ways",
        "use {wanted}, with no chunk size"),
    "asked_outside": (
        "{function}() asked outside the region",
        "outside a parallel region there is no team: the answer describes main alone "
        "({function}() gives {answer} there)",
        "ask inside the region (in thread 0), so the answer describes the team"),
    "request_inside": (
        "the team size is asked for inside the region",
        "a request applies only to the regions that start after it: the team is already formed",
        "call omp_set_num_threads before the region opens"),
    "request_after": (
        "the team size is asked for after the region",
        "a request applies only to the regions that start after it: this one comes when the "
        "team is gone",
        "call omp_set_num_threads before the region opens"),
    "fixed_team": (
        "a fixed team size of {size}",
        "the lesson derives its team from the processors (omp_get_num_procs), so it changes "
        "with the machine; a fixed number does not",
        "compute the request from omp_get_num_procs(), as the lesson does"),
    "reduction_watched": (
        "reduction where the lines show the shared {name}",
        "with reduction each thread adds into its own copy of {name} until the join, so what "
        "the region reads of {name} is the thread's own part, not how far the team had got",
        "keep the one shared {name} and make each add atomic (#pragma omp atomic)"),
    "result_in_copies": (
        "a result left in {kind} copies",
        "{kind}({name}) gives each thread its own {name}; what the threads add to their "
        "copies is thrown away at the join, so main's {name} never changes",
        "add into the shared {name} atomically, or use reduction(+:{name}) to merge the copies"),
    "lock_not_initialised": (
        "a lock used without omp_init_lock",
        "a lock must be initialised before its first use; until then it holds no valid state",
        "call omp_init_lock(&lock) before the region (and omp_destroy_lock after)"),
    "stream_line": (
        "a line built from several stream writes",
        "each << is a write of its own, and another thread's output can fall between two of "
        "them, splitting the line",
        "write each line with one std::printf call, which comes out whole"),
    "narrow_type": (
        "{name} is too narrow for its value",
        "{name} is a {type}, which holds at most 2147483647, where the lesson keeps the "
        "value in a {wide}: it wraps around",
        "declare {name} as {wide}, and print it as the lesson does (line {line})"),
    "report_format": (
        "a report line unlike the lesson's",
        "this printf writes \"{format}\" where the lesson writes \"{lesson}\"",
        "use the lesson's format, \"{lesson}\""),
}
