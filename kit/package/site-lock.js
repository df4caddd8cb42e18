// The package's one custom action. SITELOCK's space-separated entries (or,
// in an upgrade given no SITELOCK, those the installed package recorded) go
// to SITELOCK_1 ... SITELOCK_8, the strings of the AllowedSites row; a
// multi-string row takes each string from a property of its own.
function SplitSiteLock() {
    var text = Session.Property("SITELOCK");
    if (text == "") {
        text = Session.Property("KEPTSITELOCK");
        Session.Property("SITELOCK") = text;
    }
    var entries = text.split(" "), n = 0;
    for (var i = 0; i < entries.length && n < 8; i++) {
        if (entries[i] != "")
            Session.Property("SITELOCK_" + (++n)) = entries[i];
    }
    return 1;  // IDOK: go on
}
