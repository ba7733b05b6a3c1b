<%@ Language="VBScript" %>
<%
' Saves a chart into the site's "saved" folder with SaveChart and links to it.
Dim name, chart, r, c
Randomize
name = "saved/chart-" & Year(Now) & Right("0" & Month(Now), 2) & Right("0" & Day(Now), 2) & "-" & _
       CLng(Timer * 1000) & "-" & Int(Rnd * 1000) & ".jpg"
Set chart = Server.CreateObject("Quenza.QuenzaChart")
chart.Height = 3
chart.Width = 4
chart.ChartType = 2
chart.ChartTitle = "Saved chart"
chart.Rows 5
chart.Columns 2
For r = 1 To 5
  chart.CurrentRow r
  For c = 1 To 2
    chart.CurrentColumn c
    chart.SetData r * 3 + c * 5
  Next
Next
chart.SaveChart Server.MapPath("../" & name)
%>
<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>Saved chart</title></head>
<body style="font-family: sans-serif">
<h1>Saved chart</h1>
<p>The chart was saved as <a href="../<%= name %>"><%= Server.HTMLEncode(name) %></a>.</p>
<p><img class="chart" src="../<%= name %>" alt="saved chart"></p>
<p><a href="index.asp">All charts</a></p>
</body>
</html>
