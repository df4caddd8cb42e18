// Creates the invoker by each of its ProgIDs, as a page script does, and
// checks every method's answer. Each failed check prints a line "FAIL n: ..."
// and the script ends with WScript.Quit(n) of the first one; only a clean run
// prints "TARNWICK SCRIPT OK" and quits with 0. An uncaught error would end
// the host with 0 too, but without that last line.
var firstFailure = 0;

function fail(code, what) {
    WScript.Echo("FAIL " + code + ": " + what);
    if (firstFailure == 0)
        firstFailure = code;
}

// Runs a call; answers the error it raised, or null.
function errorOf(call) {
    try {
        call();
        return null;
    } catch (e) {
        return e;
    }
}

function describe(e) {
    return typeof e.number == "number" ? "error 0x" + (e.number >>> 0).toString(16).toUpperCase() : String(e);
}

// The object's own answer to a call with the wrong number of arguments.
var DISP_E_BADPARAMCOUNT = 0x8002000E;

function raisedBadParamCount(e) {
    return e != null && typeof e.number == "number" && (e.number >>> 0) == DISP_E_BADPARAMCOUNT;
}

var macPattern = /^[0-9A-F]{2}(-[0-9A-F]{2}){5}$/;
var progIds = ["Tarnwick.InvokerK318", "Tarnwick.InvokerK318.1"];

for (var i = 0; i < progIds.length; i++) {
    var base = 20 * (i + 1);
    var progId = progIds[i];
    var obj = null, answer = null, e = null;

    e = errorOf(function () { obj = new ActiveXObject(progId); });
    if (e != null) {
        fail(base + 1, progId + ": creation failed, " + describe(e));
        continue;
    }

    e = errorOf(function () { answer = obj.GetVer(); });
    if (e != null || answer !== 1)
        fail(base + 2, progId + ": GetVer() gave " + (e != null ? describe(e) : answer));

    // Member names are matched without regard to case.
    e = errorOf(function () { answer = obj.getver(); });
    if (e != null || answer !== 1)
        fail(base + 3, progId + ": getver() gave " + (e != null ? describe(e) : answer));

    e = errorOf(function () { answer = obj.GetMacAddress(); });
    if (e != null || typeof answer != "string" || (answer != "" && !macPattern.test(answer)))
        fail(base + 4, progId + ": GetMacAddress() gave " + (e != null ? describe(e) : typeof answer + " " + answer));

    e = errorOf(function () { answer = obj.GetSpReadUserID(); });
    if (e != null || typeof answer != "string")
        fail(base + 5, progId + ": GetSpReadUserID() gave " + (e != null ? describe(e) : typeof answer + " " + answer));

    // No hall window exists: the request is dropped, which is no error.
    e = errorOf(function () { obj.LoadExe(12, "room=7"); });
    if (e != null)
        fail(base + 6, progId + ": LoadExe(12, \"room=7\") raised " + describe(e));

    e = errorOf(function () { obj.RunVideo(1, 2, "x"); });
    if (e != null)
        fail(base + 7, progId + ": RunVideo(1, 2, \"x\") raised " + describe(e));

    e = errorOf(function () { obj.GetVer(1); });
    if (!raisedBadParamCount(e))
        fail(base + 8, progId + ": GetVer(1) raised " + (e != null ? describe(e) : "no error"));

    e = errorOf(function () { obj.LoadExe(12); });
    if (!raisedBadParamCount(e))
        fail(base + 9, progId + ": LoadExe(12) raised " + (e != null ? describe(e) : "no error"));

    e = errorOf(function () { obj.NoSuchMember(); });
    if (e == null)
        fail(base + 10, progId + ": NoSuchMember() raised no error");
}

if (firstFailure == 0)
    WScript.Echo("TARNWICK SCRIPT OK");
WScript.Quit(firstFailure);
