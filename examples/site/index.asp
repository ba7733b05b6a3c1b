<%@ Language="JScript" %>
<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>Quenza charts</title>
<style>
body { font-family: sans-serif; margin: 2em; }
.kinds { display: flex; flex-wrap: wrap; gap: 1em; }
figure { margin: 0; }
figcaption { text-align: center; }
</style>
</head>
<body>
<h1>Quenza charts</h1>
<p>Every chart kind, each drawn by its own page on request.</p>
<div class="kinds">
<%
var kinds = [["bar2d", "2-D bar", 1], ["line2d", "2-D line", 2], ["area2d", "2-D area", 3],
             ["pie2d", "2-D pie", 4], ["bar3d", "3-D bar", 5], ["line3d", "3-D line", 6],
             ["area3d", "3-D area", 7], ["step3d", "3-D step", 8]];
// The alt text of each chart, from the chart itself: the same settings and
// data as its page, described instead of drawn.
function describe(type, title) {
  var chart = Server.CreateObject("Quenza.QuenzaChart");
  chart.Height = 3;
  chart.Width = 4;
  chart.ChartType = type;
  chart.ChartTitle = title;
  chart.XTitle = "Month";
  chart.YTitle = "Units";
  var text = "Month,North,South,West\n";
  var months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun"];
  for (var r = 1; r <= 6; r++) {
    text += months[r - 1];
    for (var c = 1; c <= 3; c++) text += "," + (10 + ((r * 7 + c * 13) % 23));
    text += "\n";
  }
  chart.LoadData(text);
  return chart.AltText();
}
for (var i = 0; i < kinds.length; i++) {
%>
<figure>
  <a href="<%= kinds[i][0] %>.asp"><img class="chart" src="<%= kinds[i][0] %>.asp" alt="<%= Server.HTMLEncode(describe(kinds[i][2], kinds[i][1])) %>"></a>
  <figcaption><%= Server.HTMLEncode(kinds[i][1]) %></figcaption>
</figure>
<% } %>
<figure>
  <img class="chart" src="bar2d.asp?img=bmp" alt="<%= Server.HTMLEncode(describe(1, "2-D bar")) %>">
  <figcaption>2-D bar as BMP</figcaption>
</figure>
<figure>
  <img class="chart" src="logo.asp" alt="Bar chart &ldquo;Stamped&rdquo; of four values, 1, 4, 9 and 16, with the site's logo in its bottom-right corner">
  <figcaption>With a logo</figcaption>
</figure>
<figure>
  <img class="chart" src="error.asp" alt="Error chart: The sales figures are not available">
  <figcaption>The error chart</figcaption>
</figure>
</div>
<h2>More</h2>
<ul>
  <li><a href="playground.asp">Playground</a>: chart type, title, size, image type (JPG, BMP, PNG, SVG), resolution and data from the query string</li>
  <li><a href="imagemap.asp">Clickable chart</a>: an image map with a tooltip on every bar, alt text and the data as a table</li>
  <li><a href="save.asp">Save a chart to a file</a> with SaveChart</li>
  <li><a href="bench.asp">The benchmark chart</a></li>
  <li><a href="vbs/index.asp">The same pages in VBScript</a></li>
</ul>
<script>
// Marks each chart image with the width it decoded to (0 when it did not
// decode), for readers and for the browser test.
window.addEventListener("load", function () {
  var images = document.querySelectorAll("img.chart");
  var decoded = 0;
  for (var i = 0; i < images.length; i++) {
    images[i].setAttribute("data-natural-width", images[i].naturalWidth);
    if (images[i].naturalWidth > 0) decoded++;
  }
  document.body.setAttribute("data-charts", images.length + " " + decoded);
});
</script>
</body>
</html>
