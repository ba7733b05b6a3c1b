<%@ Language="VBScript" %><%
' playground.asp?type=1..8&title=...&w=inches&h=inches&img=JPG|BMP&data=1,2,3;4,5,6
' Each ';'-separated group is a row (a category), each ','-separated value a
' column (a series). Without "draw=1" the page shows a form and the chart.
Function Param(name, fallback)
  Dim v
  v = Request.QueryString(name)
  If IsEmpty(v) Or v = "" Then Param = fallback Else Param = v
End Function
Dim kind, title, w, h, img, data, rows, chart, columns, r, c, values, q
kind = Param("type", "1")
title = Param("title", "Playground")
w = Param("w", "5")
h = Param("h", "3")
img = Param("img", "JPG")
data = Param("data", "10,20,15;12,18,22;8,25,19;14,11,27")

If Request.QueryString("draw") = "1" Then
  rows = Split(data, ";")
  Set chart = Server.CreateObject("Quenza.QuenzaChart")
  chart.ChartType = kind
  chart.ChartTitle = title
  chart.Width = w
  chart.Height = h
  chart.ImageType = img
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
    "&h=" & Server.URLEncode(h) & "&img=" & Server.URLEncode(img) & "&data=" & Server.URLEncode(data)
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
  <label>Image <select name="img"><option<% If UCase(img) <> "BMP" Then %> selected<% End If %>>JPG</option>
    <option<% If UCase(img) = "BMP" Then %> selected<% End If %>>BMP</option></select></label>
  <label>Data <input name="data" value="<%= Server.HTMLEncode(data) %>" size="40"></label>
  <button>Draw</button>
</form>
<p><img class="chart" src="playground.asp?draw=1&amp;<%= Server.HTMLEncode(q) %>" alt="chart"></p>
<p><a href="index.asp">All charts</a></p>
</body>
</html>
