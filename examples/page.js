// A hall page script, run by the hall simulator (make demo) in its in-process
// JScript engine, as the hall's browser runs page scripts. host.echo(...)
// prints a line on the page's side; host.sleep(ms) waits. Change it and run
// `make demo` again.

var bridge = new ActiveXObject("Tarnwick.InvokerK318");

host.echo("GetVer()          ->", bridge.GetVer());
host.echo("GetMacAddress()   -> \"" + bridge.GetMacAddress() + "\"");
host.echo("GetSpReadUserID() -> \"" + bridge.GetSpReadUserID() + "\"");

// Ask the hall to open room 7. A second request within a second is dropped.
bridge.LoadExe(12, "room=7");
host.echo("LoadExe(12, \"room=7\") sent");
bridge.LoadExe(13, "room=8");
host.echo("LoadExe(13, \"room=8\") sent at once: the hall should not see it");

// A video request for user 7 goes to that user's window; the rid may come as
// text, and reaches the hall as a number.
host.sleep(1100);
bridge.RunVideo(7, "12", "video=42");
host.echo("RunVideo(7, \"12\", \"video=42\") sent");

// The versioned ProgID makes the same kind of object.
var versioned = new ActiveXObject("Tarnwick.InvokerK318.1");
host.echo("Tarnwick.InvokerK318.1 GetVer() ->", versioned.GetVer());

try {
    bridge.GetVer(1);
} catch (e) {
    host.echo("GetVer(1) -> error 0x" + (e.number >>> 0).toString(16).toUpperCase() + " (wrong number of arguments)");
}
