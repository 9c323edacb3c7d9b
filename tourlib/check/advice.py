"""The advice that comes with a verdict (the mistakes and their way out, the notes on
what is slow, the lines changed), worked out apart: in a child process, stopped at a
deadline. A file can be shaped to make a reading of it take days, or to trip it; the
verdict the families gave stands either way, and says why it comes without advice."""
import json
import os
import select
import signal
import time

from . import changes, diagnose, model, slow

# A lesson's advice takes a few milliseconds; a file of 256 KiB, a few seconds.
SECONDS = 20


def advise(doc, student, lesson, warnings, program, source, parsed=None):
    """{"diagnoses", "notes", "changed"} for the verdict `doc`, and "" or why there is
    none. `student` and `lesson` are the two texts; `parsed` is (clang's dump of the
    student's file, the precompiled headers it was made with, the file's content, the
    path it was parsed as, the lesson's path), or None where there is no parse."""
    def work():
        student_model = lesson_model = None
        if parsed:
            dump, pch, content, path, lesson_path = parsed
            facts = model.read(dump, content, path)
            student_model = model.Model(facts) if facts else None
            # The lesson's facts are kept beside the headers, per content.
            lesson_facts = model.parse(lesson_path, pch,
                                       keep=os.path.join(os.path.dirname(pch), "lessons"))
            lesson_model = model.Model(lesson_facts) if lesson_facts else None
        return {"diagnoses": diagnose.diagnose(doc, student_model, lesson_model, warnings),
                "notes": slow.notes(student_model, lesson_model)
                if doc["status"] == "pass" and student_model and lesson_model else [],
                "changed": changes.changes(program, source, student)
                if doc["status"] == "fail" else None}

    none = {"diagnoses": [], "notes": [], "changed": None}
    result, why = apart(work, SECONDS)
    return (result, "") if why == "" else (none, why)


def apart(work, seconds):
    """work()'s result (anything JSON takes), computed in a child process; (result, "")
    or (None, why not) when it raised or did not end within `seconds`."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: no cleanup of the parent's, no flush of its buffers
        os.close(read)
        try:
            data = json.dumps({"result": work()}).encode()
        except BaseException as e:  # noqa: B902 - whatever it was, the parent is told
            data = json.dumps({"error": f"{type(e).__name__}: {e}"[:300]}).encode()
        try:
            with os.fdopen(write, "wb") as out:
                out.write(data)
        finally:
            os._exit(0)
    os.close(write)
    received, deadline = b"", time.monotonic() + seconds
    try:
        with os.fdopen(read, "rb", buffering=0) as pipe:
            while True:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([pipe], [], [], left)[0]:
                    return None, f"working it out took longer than {seconds} s"
                chunk = pipe.read(1 << 16)
                if not chunk:
                    break
                received += chunk
    finally:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        os.waitpid(pid, 0)
    try:
        answer = json.loads(received)
    except ValueError:
        return None, "working it out ended without an answer"
    if "error" in answer:
        return None, f"working it out failed ({answer['error']})"
    return answer["result"], ""
