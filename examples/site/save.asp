<%@ Language="JScript" %>
<%
// Saves a chart into the site's "saved" folder with SaveChart and links to it.
var name = "saved/chart-" + new Date().getTime() + "-" + Math.floor(Math.random() * 1000) + ".jpg";
var chart = Server.CreateObject("Quenza.QuenzaChart");
chart.Height = 3;
chart.Width = 4;
chart.ChartType = 2;
chart.ChartTitle = "Saved chart";
chart.Rows(5);
chart.Columns(2);
for (var r = 1; r <= 5; r++) {
  chart.CurrentRow(r);
  for (var c = 1; c <= 2; c++) {
    chart.CurrentColumn(c);
    chart.SetData(r * 3 + c * 5);
  }
}
chart.SaveChart(Server.MapPath(name));
%>
<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>Saved chart</title></head>
<body style="font-family: sans-serif">
<h1>Saved chart</h1>
<p>The chart was saved as <a href="<%= name %>"><%= Server.HTMLEncode(name) %></a>.</p>
<p><img class="chart" src="<%= name %>" alt="saved chart"></p>
<p><a href="index.asp">All charts</a></p>
</body>
</html>
