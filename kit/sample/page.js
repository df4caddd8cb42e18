// page.js: the sample hall's page (UTF-8). In the hall's browser this is the
// script of a page; here the sample hall runs it alone. hall.log(text) prints
// a line on the hall's console, hall.wait(ms) pauses.

var bridge = new ActiveXObject("Tarnwick.InvokerK318");
hall.log("GetVer() = " + bridge.GetVer());
hall.log("GetMacAddress() = \"" + bridge.GetMacAddress() + "\"");
hall.log("GetSpReadUserID() = \"" + bridge.GetSpReadUserID() + "\"");

// To the window "K318HallHideWindows", in the system's ANSI code page.
bridge.LoadExe(12, "room=7 房间");

// One request a second is taken: this one is dropped, and says nothing.
bridge.LoadExe(13, "room=8");

// To the window of user 7, "K318HallHideWindows7", a second later.
hall.wait(1100);
bridge.RunVideo(7, 42, "video=42");

// The hall's security manager lets the page make Tarnwick's object only.
try {
    new ActiveXObject("WScript.Shell");
    hall.log("WScript.Shell was made: the hall's safety settings are off");
} catch (e) {
    hall.log("WScript.Shell refused: 0x" + (e.number >>> 0).toString(16).toUpperCase());
}
