' Creates the invoker by each of its ProgIDs, as a page script does, and
' checks every method's answer. Each failed check prints a line "FAIL n: ..."
' and the script ends with WScript.Quit n of the first one; only a clean run
' prints "TARNWICK SCRIPT OK" and quits with 0. An error outside the guarded
' calls would end the host with 0 too, but without that last line.
Option Explicit

Dim firstFailure, obj, answer
firstFailure = 0

Sub Fail(code, what)
    WScript.Echo "FAIL " & code & ": " & what
    If firstFailure = 0 Then firstFailure = code
End Sub

' Each guarded call answers the error number it raised (0 for none); the
' answer of a method lands in "answer".
Function Create(progId)
    On Error Resume Next
    Set obj = Nothing
    Set obj = CreateObject(progId)
    Create = Err.Number
End Function

Function CallGetVer()
    On Error Resume Next
    answer = Empty
    answer = obj.GetVer()
    CallGetVer = Err.Number
End Function

Function CallGetVerLowerCase()
    On Error Resume Next
    answer = Empty
    answer = obj.getver()
    CallGetVerLowerCase = Err.Number
End Function

Function CallGetMacAddress()
    On Error Resume Next
    answer = Empty
    answer = obj.GetMacAddress()
    CallGetMacAddress = Err.Number
End Function

Function CallGetSpReadUserID()
    On Error Resume Next
    answer = Empty
    answer = obj.GetSpReadUserID()
    CallGetSpReadUserID = Err.Number
End Function

Function CallLoadExe()
    On Error Resume Next
    obj.LoadExe 12, "room=7"
    CallLoadExe = Err.Number
End Function

Function CallRunVideo()
    On Error Resume Next
    obj.RunVideo 1, 2, "x"
    CallRunVideo = Err.Number
End Function

Function CallGetVerWithArgument()
    On Error Resume Next
    answer = obj.GetVer(1)
    CallGetVerWithArgument = Err.Number
End Function

Function CallLoadExeShort()
    On Error Resume Next
    obj.LoadExe 12
    CallLoadExeShort = Err.Number
End Function

Function CallUnknownMember()
    On Error Resume Next
    obj.NoSuchMember
    CallUnknownMember = Err.Number
End Function

Function IsMacText(text)
    Dim pattern
    Set pattern = New RegExp
    pattern.Pattern = "^[0-9A-F]{2}(-[0-9A-F]{2}){5}$"
    IsMacText = pattern.Test(text)
End Function

' Outside the guarded calls an error ends the script at once, before the OK
' line; each check starts from ok = False and only its own test sets it.
Dim progIds, i, base, progId, status, ok
progIds = Array("Tarnwick.InvokerK318", "Tarnwick.InvokerK318.1")

For i = 0 To UBound(progIds)
    base = 60 + 20 * i
    progId = progIds(i)

    status = Create(progId)
    If status <> 0 Then
        Fail base + 1, progId & ": creation failed, error " & Hex(status)
    Else
        status = CallGetVer()
        ok = False
        If status = 0 Then ok = (VarType(answer) = vbLong And answer = 1)
        If Not ok Then Fail base + 2, progId & ": GetVer() gave error " & Hex(status) & ", answer " & answer

        ' Member names are matched without regard to case.
        status = CallGetVerLowerCase()
        ok = False
        If status = 0 Then ok = (answer = 1)
        If Not ok Then Fail base + 3, progId & ": getver() gave error " & Hex(status) & ", answer " & answer

        status = CallGetMacAddress()
        ok = False
        If status = 0 And VarType(answer) = vbString Then ok = (answer = "" Or IsMacText(answer))
        If Not ok Then Fail base + 4, progId & ": GetMacAddress() gave error " & Hex(status) & ", answer " & answer

        status = CallGetSpReadUserID()
        ok = False
        If status = 0 Then ok = (VarType(answer) = vbString)
        If Not ok Then Fail base + 5, progId & ": GetSpReadUserID() gave error " & Hex(status) & ", type " & VarType(answer)

        ' No hall window exists: the request is dropped, which is no error.
        status = CallLoadExe()
        If status <> 0 Then Fail base + 6, progId & ": LoadExe 12, ""room=7"" raised error " & Hex(status)

        status = CallRunVideo()
        If status <> 0 Then Fail base + 7, progId & ": RunVideo 1, 2, ""x"" raised error " & Hex(status)

        If CallGetVerWithArgument() = 0 Then Fail base + 8, progId & ": GetVer(1) raised no error"
        If CallLoadExeShort() = 0 Then Fail base + 9, progId & ": LoadExe 12 raised no error"
        If CallUnknownMember() = 0 Then Fail base + 10, progId & ": NoSuchMember raised no error"
    End If
Next

If firstFailure = 0 Then WScript.Echo "TARNWICK SCRIPT OK"
WScript.Quit firstFailure
