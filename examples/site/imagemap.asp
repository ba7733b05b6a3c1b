<%@ Language="JScript" %><%
// A clickable chart: the PNG of a bar chart with an image map whose areas
// carry a tooltip (their title) and a link back here naming the bar, the
// chart's own alt text, and its data as an accessible table. The data goes
// in with one LoadData call; the image and the map come from the same
// settings and data, so the areas lie over their bars.
var data = "Month,North,South,West\n" +
           "Jan,17,30,20\nFeb,24,14,27\nMar,31,21,11\nApr,15,28,18\nMay,22,12,25\nJun,29,19,32\n";
function chart() {
  var c = Server.CreateObject("Quenza.QuenzaChart");
  c.Height = 3.5;
  c.Width = 6;
  c.ChartType = 1;
  c.ChartTitle = "Sales by region";
  c.XTitle = "Month";
  c.YTitle = "Units";
  c.Legends = 1;
  c.ImageType = "PNG";
  c.LoadData(data);
  return c;
}
if (Request.QueryString("draw") == "1") {
  chart().SendChart();
  Response.End();
}
var c = chart();
var row = Request.QueryString("row"), series = Request.QueryString("series"),
    value = Request.QueryString("value");
%>
<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>Clickable chart</title>
<style>
body { font-family: sans-serif; margin: 2em; }
table.quenza-data { border-collapse: collapse; margin-top: 1em; }
table.quenza-data th, table.quenza-data td { border: 1px solid #ccc; padding: 0.2em 0.6em; }
table.quenza-data td { text-align: right; }
</style>
</head>
<body>
<h1>Clickable chart</h1>
<p>Point at a bar for its tooltip; click it to name it below.</p>
<p><img class="chart" src="imagemap.asp?draw=1" usemap="#sales"
        alt="<%= Server.HTMLEncode(c.AltText()) %>"></p>
<%= c.ImageMap("sales", "imagemap.asp?row={row}&series={column}&value={value}") %>
<% if (row !== undefined && row !== "") { %>
<p id="picked">You picked <%= Server.HTMLEncode(series) %> in <%= Server.HTMLEncode(row) %>: <%= Server.HTMLEncode(value) %> units.</p>
<% } %>
<%= c.DataTable() %>
<p><a href="index.asp">All charts</a></p>
</body>
</html>
