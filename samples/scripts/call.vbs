' call.vbs: calls call_function of the DoDadev server (LU_proxy_disp) from VBScript and prints
' ret_code and the result document.
'
'   cscript //nologo call.vbs FUNCTION [NAME=VALUE]... [--secret NAME=SOURCE]...
'   cscript //nologo call.vbs keystore_drives populated=false types=0
'   cscript //nologo call.vbs keystore_type drive=C:\
'   cscript //nologo call.vbs keystore_create_pwd drive=E:\ --secret password=file:C:\Users\me\pw.txt
'
' Each NAME=VALUE becomes <parameter name="NAME">VALUE</parameter> (split at the first "=", XML
' special characters escaped). Certificate parameters are not built here: dodadev-call.exe does.
'
' A password written as NAME=VALUE is visible to other programs in the process list. --secret
' NAME=SOURCE reads the value instead: SOURCE is file:PATH (the first line of the file, read as
' ANSI text) or stdin (the next line of the script's standard input; several --secret stdin take
' one line each, in order). Wine's cscript has no standard input for scripts: use file:PATH there.
'
' Requests and results travel in the call text coding (docs/protocol.md). Not every VBScript
' engine has ChrW and AscW (Wine's has neither), so this script leaves the coding to
' dodadev-call.exe (--encode-file, --decode-file, --output), found beside this script or else
' beside the registered DoDadev.exe. The texts pass through Unicode files in a folder of its own
' in the temporary folder, deleted after each use. The call text coding is no encryption: while a
' request with a password is being coded, that password lies in those files (the plain one is
' overwritten before it is deleted). The coded request is passed by value, so the server's copy
' is the one it zeroes.
'
' Exit code: 0 when ret_code is not negative, 1 when the request was refused or failed, 2 for
' wrong usage, 3 when the server, the script host's objects or dodadev-call.exe fail.
Option Explicit

Const clsid = "{01B5C31E-59A2-4194-9DCC-05F6FE00F066}"
Dim fso, shell, tool, exchange
Set fso = CreateObject("Scripting.FileSystemObject")
Set shell = CreateObject("WScript.Shell")

' Ends the script with a message; errors are reported here because some script hosts end a
' script silently, with exit code 0, on an error it does not handle.
Sub Fail(message, code)
  On Error Resume Next
  If Not IsEmpty(exchange) Then fso.DeleteFolder exchange, True
  WScript.Echo "call.vbs: " & message
  WScript.Quit code
End Sub

Function HexCode(value)
  HexCode = "0x" & Right("0000000" & Hex(value), 8)
End Function

Function XmlEscaped(text)
  XmlEscaped = Replace(Replace(Replace(Replace(Replace(text, "&", "&amp;"), "<", "&lt;"), ">", "&gt;"), _
                       """", "&quot;"), "'", "&#39;")
End Function

' dodadev-call.exe beside this script, else beside the server that COM starts.
Function FindTool()
  Dim path, server
  path = fso.BuildPath(fso.GetParentFolderName(WScript.ScriptFullName), "dodadev-call.exe")
  If Not fso.FileExists(path) Then
    On Error Resume Next
    server = shell.RegRead("HKCR\CLSID\" & clsid & "\LocalServer32\")
    On Error GoTo 0
    server = Replace(server, """", "")
    If InStr(LCase(server), ".exe") > 0 Then server = Left(server, InStr(LCase(server), ".exe") + 3)
    If server <> "" Then path = fso.BuildPath(fso.GetParentFolderName(server), "dodadev-call.exe")
  End If
  If Not fso.FileExists(path) Then Fail "dodadev-call.exe is neither beside this script nor beside DoDadev.exe", 3
  FindTool = path
End Function

' The text in ("encode") or out of ("decode") the call text coding, through dodadev-call.exe.
Function Coded(direction, text)
  Dim plainPath, codedPath, file, result
  plainPath = fso.BuildPath(exchange, "in.txt")
  codedPath = fso.BuildPath(exchange, "out.txt")
  Set file = fso.CreateTextFile(plainPath, True, True)
  file.Write text
  file.Close
  result = shell.Run("""" & tool & """ --" & direction & "-file """ & plainPath & """ --output """ & codedPath & _
                     """", 0, True)
  Set file = fso.CreateTextFile(plainPath, True, True)
  file.Write Space(Len(text))
  file.Close
  fso.DeleteFile plainPath
  If result <> 0 Then Fail "dodadev-call.exe --" & direction & "-file ended with " & result, 3
  Set file = fso.OpenTextFile(codedPath, 1, False, -1)
  Coded = ""
  If Not file.AtEndOfStream Then Coded = file.ReadAll
  file.Close
  fso.DeleteFile codedPath
End Function

' The value of --secret NAME=SOURCE: the first line of file:PATH, or the next line of stdin.
Function SecretValue(name, source)
  Dim file, line, ended
  If Left(source, 5) = "file:" And Len(source) > 5 Then
    If Not fso.FileExists(Mid(source, 6)) Then Fail "--secret " & name & "=" & source & ": the file cannot be read", 2
    Set file = fso.OpenTextFile(Mid(source, 6), 1, False, 0)
    If file.AtEndOfStream Then Fail "--secret " & name & "=" & source & ": the file is empty", 2
    line = file.ReadLine
    file.Close
  ElseIf source = "stdin" Then
    On Error Resume Next
    ended = WScript.StdIn.AtEndOfStream
    If Err.Number <> 0 Then Fail "--secret " & name & "=stdin: this script host gives scripts no standard input " & _
                                 "(use file:PATH)", 2
    On Error GoTo 0
    If ended Then Fail "--secret " & name & "=stdin: standard input ended before the line with the secret", 2
    On Error Resume Next
    line = WScript.StdIn.ReadLine
    If Err.Number <> 0 Then Fail "--secret " & name & "=stdin: standard input cannot be read", 2
    On Error GoTo 0
  Else
    Fail "a secret's SOURCE is file:PATH or stdin: " & source, 2
  End If
  If Right(line, 1) = vbCr Then line = Left(line, Len(line) - 1)
  SecretValue = line
End Function

Dim request, i, argument, equalsAt, codedRequest, server, ret, retCode, value
If WScript.Arguments.Count < 1 Then Fail "usage: cscript //nologo call.vbs FUNCTION [NAME=VALUE]... [--secret NAME=SOURCE]...", 2
request = "<?xml version=""1.0""?><function name=""" & XmlEscaped(WScript.Arguments(0)) & """>"
i = 1
Do While i < WScript.Arguments.Count
  argument = WScript.Arguments(i)
  If argument = "--secret" Then
    If i + 1 >= WScript.Arguments.Count Then Fail "--secret needs NAME=SOURCE", 2
    i = i + 1
    argument = WScript.Arguments(i)
    equalsAt = InStr(argument, "=")
    If equalsAt < 2 Then Fail "--secret is written NAME=SOURCE: " & argument, 2
    value = SecretValue(Left(argument, equalsAt - 1), Mid(argument, equalsAt + 1))
  Else
    equalsAt = InStr(argument, "=")
    If equalsAt < 2 Then Fail "a parameter must be written NAME=VALUE: " & argument, 2
    value = Mid(argument, equalsAt + 1)
  End If
  request = request & "<parameter name=""" & XmlEscaped(Left(argument, equalsAt - 1)) & """>" & _
            XmlEscaped(value) & "</parameter>"
  value = Empty
  i = i + 1
Loop
request = request & "</function>"

tool = FindTool()
exchange = fso.BuildPath(fso.GetSpecialFolder(2), fso.GetTempName())
fso.CreateFolder exchange
codedRequest = Coded("encode", request)
request = Empty

On Error Resume Next
Set server = CreateObject("DoDadev.LU_proxy_disp")
If Err.Number <> 0 Then Fail "cannot create DoDadev.LU_proxy_disp: " & HexCode(Err.Number) & " " & _
                             Err.Description & " (register it: DoDadev.exe /RegServer)", 3
On Error GoTo 0

' ret and ret_code come back through the variables; the method's own result only says that the
' call arrived. The request goes by value (in parentheses): the server zeroes its copy of it.
On Error Resume Next
server.call_function (codedRequest), ret, retCode
If Err.Number <> 0 Then Fail "call_function failed: " & HexCode(Err.Number) & " " & Err.Description, 3
On Error GoTo 0
codedRequest = Empty

WScript.Echo "ret_code: " & HexCode(retCode)
If IsEmpty(ret) Then
  WScript.Echo "result: none"
Else
  WScript.Echo "result:" & vbCrLf & Coded("decode", ret)
End If
fso.DeleteFolder exchange, True
If retCode < 0 Then WScript.Quit 1
WScript.Quit 0
