<%@ Language="VBScript" %><%
' playground.asp?type=1..8&title=...&w=inches&h=inches&img=JPG|BMP|PNG|SVG&dpi=96&data=1,2,3;4,5,6
' Each ';'-separated group is a row (a category), each ','-separated value a
' column (a series). Without "draw=1" the page shows a form and the chart.
' Any client may ask, so what it asks is capped: a side of at most
' MAX_INCHES, at most MAX_VALUES values and MAX_TITLE title characters.
Const MAX_INCHES = 16, MAX_VALUES = 2000, MAX_TITLE = 200
Function Param(name, fallback)
  Dim v
  v = Request.QueryString(name)
  If IsEmpty(v) Or v = "" Then Param = fallback Else Param = v
End Function
Function Inches(v)
  If IsNumeric(v) Then
    If CDbl(v) > MAX_INCHES Then Inches = CStr(MAX_INCHES) Else Inches = v
  Else
    Inches = v
  End If
End Function
Dim kind, title, w, h, img, dpi, data, rows, chart, columns, r, c, values, q
Dim kept, count, given, i, n
kind = Param("type", "1")
title = Left(Param("title", "Playground"), MAX_TITLE)
w = Inches(Param("w", "5"))
h = Inches(Param("h", "3"))
img = Param("img", "JPG")
dpi = Param("dpi", "96")
data = Param("data", "10,20,15;12,18,22;8,25,19;14,11,27")
' Rows are kept whole while the values they hold fit under the cap.
kept = ""
count = 0
given = Split(data, ";")
For i = 0 To UBound(given)
  n = UBound(Split(given(i), ",")) + 1
  If count + n > MAX_VALUES Then
    If count = 0 Then
      values = Split(given(i), ",")
      ReDim Preserve values(MAX_VALUES - 1)
      kept = Join(values, ",")
    End If
    Exit For
  End If
  If i > 0 Then kept = kept & ";"
  kept = kept & given(i)
  count = count + n
Next
data = kept

If Request.QueryString("draw") = "1" Then
  rows = Split(data, ";")
  Set chart = Server.CreateObject("Quenza.QuenzaChart")
  chart.ChartType = kind
  chart.ChartTitle = title
  chart.Width = w
  chart.Height = h
  chart.ImageType = img
  chart.Resolution = dpi
  chart.Legends = 1
  columns = 1
  For r = 0 To UBound(rows)
    If UBound(Split(rows(r), ",")) + 1 > columns Then columns = UBound(Split(rows(r), ",")) + 1
  Next
  chart.Rows UBound(rows) + 1
  chart.Columns columns
  For r = 0 To UBound(rows)
    values = Split(rows(r), ",")
    chart.CurrentRow r + 1
    chart.RowTitle "R" & (r + 1)
    For c = 0 To UBound(values)
      chart.CurrentColumn c + 1
      If r = 0 Then chart.ColumnTitle "S" & (c + 1)
      If IsNumeric(values(c)) Then chart.SetData CDbl(values(c)) Else chart.SetData 0
    Next
  Next
  chart.SendChart
  Response.End
End If
q = "type=" & Server.URLEncode(kind) & "&title=" & Server.URLEncode(title) & "&w=" & Server.URLEncode(w) & _
    "&h=" & Server.URLEncode(h) & "&img=" & Server.URLEncode(img) & "&dpi=" & Server.URLEncode(dpi) & "&data=" & Server.URLEncode(data)
%>
<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>Playground</title></head>
<body style="font-family: sans-serif">
<h1>Playground</h1>
<form method="get" action="playground.asp">
  <label>Type (1-8) <input name="type" value="<%= Server.HTMLEncode(kind) %>" size="2"></label>
  <label>Title <input name="title" value="<%= Server.HTMLEncode(title) %>"></label>
  <label>Width (in) <input name="w" value="<%= Server.HTMLEncode(w) %>" size="3"></label>
  <label>Height (in) <input name="h" value="<%= Server.HTMLEncode(h) %>" size="3"></label>
  <label>Image <select name="img"><%
  Dim formats, f
  formats = Array("JPG", "BMP", "PNG", "SVG")
  For f = 0 To UBound(formats) %>
    <option<% If UCase(img) = formats(f) Then Response.Write " selected" %>><%= formats(f) %></option><% Next %></select></label>
  <label>Resolution (dpi, 48-384) <input name="dpi" value="<%= Server.HTMLEncode(dpi) %>" size="3"></label>
  <label>Data <input name="data" value="<%= Server.HTMLEncode(data) %>" size="40"></label>
  <button>Draw</button>
</form>
<p>Width and height are at most <%= MAX_INCHES %> inches, the data at most
<%= MAX_VALUES %> values and the title at most <%= MAX_TITLE %> characters;
a larger request is cut to these limits.</p>
<p><img class="chart" src="playground.asp?draw=1&amp;<%= Server.HTMLEncode(q) %>" alt="chart"></p>
<p><a href="index.asp">All charts</a></p>
</body>
</html>
